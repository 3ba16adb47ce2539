#pragma once
// The check of the USB driver's registry entries at start: the "DeviceInterfaceGUID" of every installed
// instance of the unit's six interfaces under the local machine must name the expected device interface class.
// As administrator the program rewrites them all first; otherwise, when they are wrong, it offers to start
// itself again with administrator rights. Runs on the user-interface thread before any window exists.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/windows_numbers.h"

inline constexpr const char REGCHECK_BASE_PATH[] = "SYSTEM\\CurrentControlSet\\Enum\\USB\\";
inline constexpr const char REGCHECK_VALUE_NAME[] = "DeviceInterfaceGUID";
inline constexpr int REGCHECK_DEVICE_COUNT = 2;
inline constexpr int REGCHECK_INTERFACE_COUNT = 3;
// Walked device by device and, within a device, by interface number.
inline constexpr const char* const REGCHECK_DEVICE_IDS[REGCHECK_DEVICE_COUNT] = {"VID_7A31&PID_ACDC",
                                                                                 "VID_7A31&PID_ACDD"};
inline constexpr const char* const REGCHECK_INTERFACE_GUIDS[REGCHECK_DEVICE_COUNT][REGCHECK_INTERFACE_COUNT] = {
    {"{C0850FA1-2B83-47DB-BCB7-738AB1A8B498}", "{AA7192B3-37B8-40E2-9E87-22A6609BEFC6}",
     "{808D5088-F877-4A8D-9470-B1CA50D4632A}"},
    {"{808D5088-F877-4A8D-9470-B1CA50D4632A}", "{C0850FA1-2B83-47DB-BCB7-738AB1A8B498}",
     "{AA7192B3-37B8-40E2-9E87-22A6609BEFC6}"},
};
inline constexpr std::uint32_t REGCHECK_GUID_BYTES = 39;  // 38 characters and the NUL

// Buffers (characters or bytes, NUL included).
inline constexpr std::size_t REGCHECK_KEY_PATH_SIZE = 259;
inline constexpr std::size_t REGCHECK_INSTANCE_NAME_SIZE = 256;
inline constexpr std::size_t REGCHECK_PARAMETERS_PATH_SIZE = 256;
inline constexpr std::size_t REGCHECK_VALUE_SIZE = 255;
inline constexpr std::size_t REGCHECK_PROGRAM_PATH_SIZE = 260;
inline constexpr std::size_t REGCHECK_ARGUMENTS_SIZE = 260;

// The two fixed English messages, shown before any interface language is set.
inline constexpr const char REGCHECK_CAPTION[] = "[NEV-Tavik] CheckTavikRegistry";
inline constexpr const char REGCHECK_QUESTION[] =
    "The registry entries for the USB device driver are not correct.\n"
    "Update (repair) USB registry entries? (needs administrator rights)";
inline constexpr const char REGCHECK_ERROR[] = "Error: The registry entries could not updated correctly.";

// The administrator test could not be made; carries the system's error code. Never leaves this area.
class AdministratorTestError : public std::runtime_error {
 public:
  explicit AdministratorTestError(std::uint32_t code) : std::runtime_error("administrator test failed"), code_(code) {}
  std::uint32_t code() const { return code_; }

 private:
  std::uint32_t code_;
};

// What the check needs of the platform besides the registry: the token model, the program's own path and
// command line, the elevated start through the shell, and message boxes.
class RegistryCheckPlatform {
 public:
  virtual ~RegistryCheckPlatform() = default;
  // Whether the calling thread's token (the process's when it does not impersonate) holds the built-in
  // Administrators group; a group held for deny only does not count. Throws AdministratorTestError.
  virtual bool IsAdministrator() = 0;
  // The full path of the program's own file in UTF-16, so that a folder named outside the ANSI code page stays
  // whole (room: size code units, NUL included); false if it cannot be had whole.
  virtual bool GetProgramPath(char16_t* path, std::size_t size) = 0;
  // The process's command line split by the shell's rules, the program first; false if it cannot be split.
  virtual bool GetCommandLineArguments(std::vector<std::u16string>& arguments) = 0;
  // Asks the shell to start the file (UTF-16) with the verb "runas" and the parameters (8-bit, read in the ANSI
  // code page), no working directory, no owner window, shown normally. Returns once the prompt is answered: 0
  // when started, else the system's error code.
  virtual std::uint32_t StartElevated(const char16_t* file, const char* parameters) = 0;
  // A message box without owner window; returns the button pressed.
  virtual int ShowMessage(const char* text, const char* caption, std::uint32_t style) = 0;
};

class Registry;

// Nonzero when the last check walk found every installed interface instance right; 0 otherwise, also after it
// has started the elevated copy. No error of the administrator test leaves it.
int CheckTavikRegistry(Registry& registry, RegistryCheckPlatform& platform);

// repair 0: check mode; nonzero: repair mode. 1 when the walk met no failure, else 0.
int CheckDeviceInterfaceGuids(Registry& registry, int repair);

// Nonzero when the process is an administrator, 0 when not. Throws AdministratorTestError.
int IsUserAdministrator(RegistryCheckPlatform& platform);

// Starts the program's own file again with administrator rights (after the elevation prompt), unless it is
// an administrator already. The caller goes on whatever happens.
void RelaunchElevated(RegistryCheckPlatform& platform);

// The program's own arguments, blank-separated and narrowed to 8 bits (a unit that narrows to NUL is left out),
// at most 259 characters, in a process-wide buffer.
const char* BuildRelaunchArguments(RegistryCheckPlatform& platform);
