// The driver registry check: CheckDeviceInterfaceGuids in check and repair mode, and CheckTavikRegistry with
// its platform, over an in-memory registry whose local machine part the fuzzer's bytes fill: instance names,
// keys at any path, values of any type and data (the expected GUID, nearly it, or raw bytes), denied rights.
//
// Input: records until it runs out; each begins with a byte that says what it adds (see AddRecord). The
// platform's answers (administrator or not or failing, the message box's button, the elevated start's result,
// the command line) come from the bytes that follow the records' count byte.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/memory_registry.h"
#include "app/registry.h"
#include "app/registry_check.h"
#include "app/trace.h"
#include "fuzz/fuzz_input.h"

namespace {
constexpr std::size_t kMaxNameLength = 300;  // beyond the 255 characters an instance name may have

std::string InterfacePath(int device, int number) {
  return std::string(REGCHECK_BASE_PATH) + REGCHECK_DEVICE_IDS[device] + "&MI_0" + std::to_string(number);
}

// The value's data: the expected GUID as it should be stored, or as it should not (cut, longer, one byte
// changed, in lower case), or raw bytes.
std::vector<std::uint8_t> ValueData(FuzzInput& input, const char* guid) {
  std::vector<std::uint8_t> data(guid, guid + REGCHECK_GUID_BYTES);
  switch (input.Byte() % 6) {
    case 0:
      break;
    case 1:  // more behind the NUL
      for (std::uint8_t extra = input.Byte(); extra > 0; --extra) data.push_back(input.Byte());
      break;
    case 2:  // cut
      data.resize(input.Byte() % REGCHECK_GUID_BYTES);
      break;
    case 3: {  // one byte changed
      const std::size_t at = input.Byte() % data.size();
      data[at] ^= input.Byte() | 1;
      break;
    }
    case 4:  // lower case
      for (auto& c : data) c = static_cast<std::uint8_t>(c >= 'A' && c <= 'F' ? c + 32 : c);
      break;
    default:
      data.resize(input.U16() % 600);
      input.Bytes(data.data(), data.size());
      break;
  }
  return data;
}

struct Built {
  bool denied = false;  // some right is denied somewhere: a repair may then not reach every value
};

// One record: an instance with its parameters, a key and value at any path, a denied right, or a failure.
void AddRecord(FuzzInput& input, MemoryRegistry& registry, Built& built) {
  const std::uint8_t op = input.Byte();
  const int device = (op >> 2) & 1;
  const int number = ((op >> 3) & 3) % REGCHECK_INTERFACE_COUNT;
  const std::string interfacePath = InterfacePath(device, number);
  switch (op & 3) {
    case 0: {  // an installed instance, maybe with its parameters and value
      const std::string instance = input.Text(kMaxNameLength);
      const std::uint8_t shape = input.Byte();
      if ((shape & 1) == 0) {
        registry.PutKey(RegistryRoot::LocalMachine, interfacePath + "\\" + instance);
        break;
      }
      const std::string parameters = interfacePath + "\\" + instance + "\\Device Parameters";
      const std::uint32_t type = (shape & 2) != 0 ? input.U32() : (shape >> 2) % 12;
      const char* name = (shape & 0x80) != 0 ? "deviceinterfaceguid" : REGCHECK_VALUE_NAME;  // names ignore case
      registry.PutValue(RegistryRoot::LocalMachine, parameters, name, type,
                        ValueData(input, REGCHECK_INTERFACE_GUIDS[device][number]));
      break;
    }
    case 1: {  // a value at a path of the input's choice
      const std::string path = input.Text(kMaxNameLength);
      const std::string name = input.Text(40);
      std::vector<std::uint8_t> data(input.Byte());
      input.Bytes(data.data(), data.size());
      registry.PutValue(RegistryRoot::LocalMachine, path, name, input.Byte(), std::move(data));
      break;
    }
    case 2: {  // a right denied on an interface key or on an instance's parameters
      const std::string instance = input.Text(kMaxNameLength);
      const std::uint32_t rights = input.Byte();
      registry.DenyAccess(RegistryRoot::LocalMachine,
                          (op & 0x20) != 0 ? interfacePath : interfacePath + "\\" + instance + "\\Device Parameters",
                          rights);
      built.denied = built.denied || rights != 0;
      break;
    }
    default: {  // queries or writes that fail
      const std::uint8_t which = input.Byte();
      registry.failQuery = registry.failQuery || which == 1;
      registry.failSet = registry.failSet || which == 2;
      built.denied = built.denied || registry.failQuery || registry.failSet;
      break;
    }
  }
}

class FuzzPlatform final : public RegistryCheckPlatform {
 public:
  explicit FuzzPlatform(FuzzInput& input)
      : administrator_(input.Byte() % 3), answer_(input.Byte()), start_(input.Byte()), pathOk_(input.Bit()) {
    for (int count = input.Byte() % 6; count > 0; --count) {
      std::u16string argument;
      for (const char c : input.Text(200)) argument += static_cast<char16_t>(static_cast<std::uint8_t>(c) * 0x0101);
      arguments_.push_back(argument);
    }
  }
  bool IsAdministrator() override {
    if (administrator_ == 2) throw AdministratorTestError(5);
    return administrator_ == 1;
  }
  bool GetProgramPath(char16_t* path, std::size_t size) override {
    const std::u16string program = u"C:\\updater.exe";
    if (!pathOk_ || size <= program.size()) return false;
    std::copy(program.begin(), program.end(), path);
    path[program.size()] = u'\0';
    return true;
  }
  bool GetCommandLineArguments(std::vector<std::u16string>& arguments) override {
    arguments = arguments_;
    return !arguments_.empty();
  }
  std::uint32_t StartElevated(const char16_t*, const char* parameters) override {
    FUZZ_CHECK(std::strlen(parameters) < REGCHECK_ARGUMENTS_SIZE);
    return start_ % 3 == 0 ? 0 : start_ % 3 == 1 ? WIN_ERROR_CANCELLED : 5;
  }
  int ShowMessage(const char*, const char*, std::uint32_t) override {
    return answer_ % 3 == 0 ? WIN_IDYES : answer_ % 3 == 1 ? WIN_IDNO : WIN_IDOK;
  }

 private:
  int administrator_;  // 0 no, 1 yes, 2 the test fails
  std::uint8_t answer_;
  std::uint8_t start_;
  bool pathOk_;
  std::vector<std::u16string> arguments_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  StartTrace(nullptr);  // no trace: printing would cost more than the run itself
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  MemoryRegistry registry;
  Built built;
  for (int records = input.Byte() % 32; records > 0 && !input.Exhausted(); --records) AddRecord(input, registry, built);
  FuzzPlatform platform(input);

  // The check writes nothing; after a repair that could reach every value, the check passes.
  const int setsBefore = registry.calls().set;
  const int checked = CheckDeviceInterfaceGuids(registry, 0);
  FUZZ_CHECK(checked == 0 || checked == 1);
  FUZZ_CHECK(registry.calls().set == setsBefore);
  CheckDeviceInterfaceGuids(registry, 1);
  const int repaired = CheckDeviceInterfaceGuids(registry, 0);
  if (!built.denied) FUZZ_CHECK(repaired == 1);

  const int result = CheckTavikRegistry(registry, platform);
  if (!built.denied) FUZZ_CHECK(result != 0);  // the values are right by now, whoever runs it
  FUZZ_CHECK(std::strlen(BuildRelaunchArguments(platform)) < REGCHECK_ARGUMENTS_SIZE);
  FUZZ_CHECK(registry.OpenHandleCount() == 0);

  return 0;
}
