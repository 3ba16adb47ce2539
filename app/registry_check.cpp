#include "app/registry_check.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "app/registry.h"

namespace {
char g_relaunchArguments[REGCHECK_ARGUMENTS_SIZE];

// Judges one instance's "Device Parameters" key: the first 39 bytes read must be the GUID and its NUL. A value
// shorter than that cannot hold them and is wrong; the bytes behind its data are never looked at.
bool HoldsGuid(const RegistryKey& parameters, const char* guid) {
  std::uint8_t value[REGCHECK_VALUE_SIZE] = {};
  std::uint32_t size = sizeof value;
  if (parameters.QueryValue(REGCHECK_VALUE_NAME, nullptr, value, &size) != WIN_ERROR_SUCCESS) return false;
  return size >= REGCHECK_GUID_BYTES && std::memcmp(value, guid, REGCHECK_GUID_BYTES) == 0;
}

// Checks or repairs every instance below one interface key; false if any of them failed.
bool WalkInstances(const RegistryKey& interfaceKey, const char* guid, bool repair) {
  bool right = true;
  for (std::uint32_t index = 0;; ++index) {
    char instance[REGCHECK_INSTANCE_NAME_SIZE];
    std::uint32_t length = sizeof instance;
    if (interfaceKey.EnumKey(index, instance, &length) != WIN_ERROR_SUCCESS) break;

    char path[REGCHECK_PARAMETERS_PATH_SIZE];
    const int needed = std::snprintf(path, sizeof path, "%s\\Device Parameters", instance);
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof path) continue;  // a cut path names another key

    RegistryKey parameters;
    if (parameters.Open(interfaceKey, path, repair ? WIN_KEY_SET_VALUE : WIN_KEY_QUERY_VALUE) != WIN_ERROR_SUCCESS) {
      continue;  // no device parameters: skipped, no failure
    }
    if (repair) {
      if (parameters.SetValue(REGCHECK_VALUE_NAME, WIN_REG_SZ, guid, REGCHECK_GUID_BYTES) != WIN_ERROR_SUCCESS) {
        right = false;
      }
    } else if (!HoldsGuid(parameters, guid)) {
      right = false;
    }
  }
  return right;
}

// The administrator test where its error must not escape: a failed test counts as "not an administrator".
bool CountsAsAdministrator(RegistryCheckPlatform& platform) {
  try {
    return IsUserAdministrator(platform) != 0;
  } catch (const AdministratorTestError&) {
    return false;
  }
}
}  // namespace

int CheckDeviceInterfaceGuids(Registry& registry, int repair) {
  int result = 1;
  for (int device = 0; device < REGCHECK_DEVICE_COUNT; ++device) {
    for (int number = 0; number < REGCHECK_INTERFACE_COUNT; ++number) {
      char path[REGCHECK_KEY_PATH_SIZE];
      std::snprintf(path, sizeof path, "%s%s&MI_%.2d", REGCHECK_BASE_PATH, REGCHECK_DEVICE_IDS[device], number);

      RegistryKey interfaceKey;
      if (interfaceKey.Open(registry, RegistryRoot::LocalMachine, path, WIN_KEY_ENUMERATE_SUB_KEYS) !=
          WIN_ERROR_SUCCESS) {
        continue;  // never installed on this machine
      }
      if (!WalkInstances(interfaceKey, REGCHECK_INTERFACE_GUIDS[device][number], repair != 0)) result = 0;
    }
  }
  return result;
}

int IsUserAdministrator(RegistryCheckPlatform& platform) { return platform.IsAdministrator() ? 1 : 0; }

const char* BuildRelaunchArguments(RegistryCheckPlatform& platform) {
  constexpr std::size_t limit = REGCHECK_ARGUMENTS_SIZE - 1;
  std::memset(g_relaunchArguments, 0, sizeof g_relaunchArguments);

  std::vector<std::u16string> arguments;
  if (!platform.GetCommandLineArguments(arguments)) return g_relaunchArguments;

  std::size_t length = 0;
  for (std::size_t i = 1; i < arguments.size(); ++i) {  // the first is the program itself
    if (length != 0 && length < limit) g_relaunchArguments[length++] = ' ';
    for (char16_t unit : arguments[i]) {
      if (length >= limit) break;
      const char narrowed = static_cast<char>(unit & 0xFF);
      if (narrowed != '\0') g_relaunchArguments[length++] = narrowed;  // a NUL would end the text here
    }
  }
  return g_relaunchArguments;
}

void RelaunchElevated(RegistryCheckPlatform& platform) {
  if (CountsAsAdministrator(platform)) return;  // nothing to do

  char16_t program[REGCHECK_PROGRAM_PATH_SIZE] = {};
  if (!platform.GetProgramPath(program, REGCHECK_PROGRAM_PATH_SIZE)) return;

  // A refused prompt (WIN_ERROR_CANCELLED) is not asked again: the process ends right after the check.
  platform.StartElevated(program, BuildRelaunchArguments(platform));
}

int CheckTavikRegistry(Registry& registry, RegistryCheckPlatform& platform) {
  if (CountsAsAdministrator(platform)) {
    CheckDeviceInterfaceGuids(registry, 1);  // only the check that follows decides
    const int result = CheckDeviceInterfaceGuids(registry, 0);
    if (result == 0) {
      platform.ShowMessage(REGCHECK_ERROR, REGCHECK_CAPTION, WIN_MB_SYSTEMMODAL | WIN_MB_ICONERROR | WIN_MB_OK);
    }
    return result;
  }

  const int result = CheckDeviceInterfaceGuids(registry, 0);
  if (result != 0) return result;
  if (platform.ShowMessage(REGCHECK_QUESTION, REGCHECK_CAPTION, WIN_MB_SYSTEMMODAL | WIN_MB_ICONERROR | WIN_MB_YESNO) ==
      WIN_IDYES) {
    RelaunchElevated(platform);
  }
  return 0;
}
