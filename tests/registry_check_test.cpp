#include "app/registry_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/memory_registry.h"
#include "support/driver_keys.h"
#include "support/trace_capture.h"

namespace {
using namespace driver_keys;
const std::string kValue = "DeviceInterfaceGUID";

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
std::vector<std::uint8_t> WithNul(const std::string& text) {
  std::vector<std::uint8_t> bytes = Bytes(text);
  bytes.push_back(0);
  return bytes;
}

// The token, the shell and the message boxes as a test wants them; records what the check asked of them.
class FakePlatform final : public RegistryCheckPlatform {
 public:
  bool administrator = false;
  std::optional<std::uint32_t> administratorTestError;
  int answer = WIN_IDNO;
  std::u16string programPath = u"C:\\Program Files\\Updater\\updater.exe";
  bool programPathFails = false;
  std::optional<std::vector<std::u16string>> commandLine = std::vector<std::u16string>{u"updater.exe"};
  std::uint32_t startResult = 0;

  struct Box {
    std::string text;
    std::string caption;
    std::uint32_t style;
  };
  std::vector<Box> boxes;
  struct Start {
    std::u16string file;
    std::string parameters;
  };
  std::vector<Start> starts;

  bool IsAdministrator() override {
    if (administratorTestError) throw AdministratorTestError(*administratorTestError);
    return administrator;
  }
  bool GetProgramPath(char16_t* path, std::size_t size) override {
    if (programPathFails || programPath.size() >= size) return false;
    std::copy(programPath.c_str(), programPath.c_str() + programPath.size() + 1, path);
    return true;
  }
  bool GetCommandLineArguments(std::vector<std::u16string>& arguments) override {
    if (!commandLine) return false;
    arguments = *commandLine;
    return true;
  }
  std::uint32_t StartElevated(const char16_t* file, const char* parameters) override {
    starts.push_back({file, parameters});
    return startResult;
  }
  int ShowMessage(const char* text, const char* caption, std::uint32_t style) override {
    boxes.push_back({text, caption, style});
    return answer;
  }
};

class RegistryCheckTest : public ::testing::Test {
 protected:
  ~RegistryCheckTest() override {
    EXPECT_EQ(registry_.OpenHandleCount(), 0u) << "a key was left open";
    EXPECT_TRUE(trace_.Lines().empty()) << "the check writes no trace lines";
  }

  // The check's operations on the registry and platform that the test chose.
  int CheckTavikRegistry() { return ::CheckTavikRegistry(*activeRegistry_, *activePlatform_); }
  int CheckDeviceInterfaceGuids(int repair) { return ::CheckDeviceInterfaceGuids(*activeRegistry_, repair); }
  int IsUserAdministrator() { return ::IsUserAdministrator(*activePlatform_); }
  void RelaunchElevated() { ::RelaunchElevated(*activePlatform_); }
  const char* BuildRelaunchArguments() { return ::BuildRelaunchArguments(*activePlatform_); }

  void PutGuid(const std::string& device, int number, const std::string& instance, std::vector<std::uint8_t> data,
               std::uint32_t type = WIN_REG_SZ) {
    registry_.PutValue(RegistryRoot::LocalMachine, ParametersPath(device, number, instance), kValue, type,
                       std::move(data));
  }
  // Every interface installed with its right GUID in the given instances.
  void InstallAllRight(const std::vector<std::string>& instances) {
    for (const Interface& i : kInterfaces) {
      for (const std::string& instance : instances) PutGuid(i.device, i.number, instance, WithNul(i.guid));
    }
  }
  std::optional<RegistryValue> Stored(const std::string& device, int number, const std::string& instance) {
    return registry_.GetValue(RegistryRoot::LocalMachine, ParametersPath(device, number, instance), kValue);
  }
  void ExpectGuid(const std::string& device, int number, const std::string& instance, const std::string& guid) {
    const auto value = Stored(device, number, instance);
    ASSERT_TRUE(value.has_value()) << device << " " << number << " " << instance;
    EXPECT_EQ(value->type, WIN_REG_SZ);
    EXPECT_EQ(value->data, WithNul(guid)) << device << " " << number << " " << instance;
  }

  MemoryRegistry registry_;
  FakePlatform platform_;
  TraceCapture trace_;
  Registry* activeRegistry_ = &registry_;               // the one the check runs on
  RegistryCheckPlatform* activePlatform_ = &platform_;  // the one the check runs on

 private:
};
}  // namespace

TEST_F(RegistryCheckTest, NoDriverKeysPassesSilently) {
  for (bool administrator : {false, true}) {
    platform_.administrator = administrator;
    EXPECT_NE(CheckTavikRegistry(), 0) << administrator;
  }
  EXPECT_TRUE(platform_.boxes.empty());
  EXPECT_TRUE(platform_.starts.empty());
  EXPECT_TRUE(registry_.Values(RegistryRoot::LocalMachine).empty()) << "repair creates nothing";
}

TEST_F(RegistryCheckTest, EveryInterfaceRightPasses) {
  InstallAllRight({"5&1a2b3c4d&0&1", "5&9f8e7d6c&0&4"});
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 1);
  EXPECT_NE(CheckTavikRegistry(), 0);
  EXPECT_TRUE(platform_.boxes.empty());
}

TEST_F(RegistryCheckTest, EachInterfaceIsJudgedByItsOwnGuid) {
  // Every other interface right; this one carries one of the other two GUIDs.
  for (const Interface& wrong : kInterfaces) {
    for (const std::string& other : {kGuidC085, kGuidAa71, kGuid808d}) {
      if (other == wrong.guid) continue;
      MemoryRegistry registry;
      activeRegistry_ = &registry;
      for (const Interface& i : kInterfaces) {
        const std::string& guid = &i == &wrong ? other : i.guid;
        registry.PutValue(RegistryRoot::LocalMachine, ParametersPath(i.device, i.number, "7"), kValue, WIN_REG_SZ,
                          WithNul(guid));
      }
      EXPECT_EQ(CheckDeviceInterfaceGuids(0), 0) << wrong.device << " " << wrong.number << " " << other;
      activeRegistry_ = &registry_;
    }
  }
}

TEST_F(RegistryCheckTest, ValueJudgedByItsFirst39Bytes) {
  struct Case {
    const char* what;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
    int expected;
  };
  std::vector<std::uint8_t> trailing = WithNul(kGuidC085);
  trailing.insert(trailing.end(), {'x', 'y', 0, 0xFF});
  std::vector<std::uint8_t> longest = WithNul(kGuidC085);
  longest.resize(255, 'z');
  std::vector<std::uint8_t> tooLong = longest;
  tooLong.push_back('z');
  std::string lower = kGuidC085;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const Case cases[] = {
      {"exact", WIN_REG_SZ, WithNul(kGuidC085), 1},
      {"followed by a NUL and more", WIN_REG_SZ, trailing, 1},
      {"followed by a NUL and more, binary", WIN_REG_BINARY, trailing, 1},
      {"exact, binary", WIN_REG_BINARY, WithNul(kGuidC085), 1},
      {"exact, dword type", WIN_REG_DWORD, WithNul(kGuidC085), 1},
      {"255 bytes", WIN_REG_SZ, longest, 1},
      {"256 bytes", WIN_REG_SZ, tooLong, 0},
      {"lower case", WIN_REG_SZ, WithNul(lower), 0},
      {"38 bytes without NUL", WIN_REG_SZ, Bytes(kGuidC085), 0},
      {"38 bytes without NUL, binary", WIN_REG_BINARY, Bytes(kGuidC085), 0},
      {"followed by a blank", WIN_REG_SZ, WithNul(kGuidC085 + " "), 0},
      {"without braces", WIN_REG_SZ, WithNul(kGuidC085.substr(1, 36)), 0},
      {"another interface's GUID", WIN_REG_SZ, WithNul(kGuidAa71), 0},
      {"empty", WIN_REG_SZ, {}, 0},
      {"a NUL alone", WIN_REG_SZ, {0}, 0},
  };
  for (const Case& c : cases) {
    MemoryRegistry registry;
    activeRegistry_ = &registry;
    registry.PutValue(RegistryRoot::LocalMachine, ParametersPath(kAcdc, 0, "1"), kValue, c.type, c.data);
    EXPECT_EQ(CheckDeviceInterfaceGuids(0), c.expected) << c.what;
    activeRegistry_ = &registry_;
  }
}

TEST_F(RegistryCheckTest, MissingValueFails) {
  registry_.PutKey(RegistryRoot::LocalMachine, ParametersPath(kAcdd, 2, "1"));
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 0);
}

TEST_F(RegistryCheckTest, OneWrongInstanceFailsAndEveryInstanceIsStillVisited) {
  InstallAllRight({"1", "2", "3"});
  PutGuid(kAcdc, 0, "2", WithNul(kGuidAa71));
  registry_.ResetCalls();
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 0);
  EXPECT_EQ(registry_.calls().query, 6 * 3) << "the walk goes on after a failure";
}

TEST_F(RegistryCheckTest, InstanceWithoutDeviceParametersIsSkippedInBothModes) {
  InstallAllRight({"1"});
  registry_.PutKey(RegistryRoot::LocalMachine, InterfacePath(kAcdc, 1) + "\\0");  // sorts before "1"
  registry_.PutKey(RegistryRoot::LocalMachine, InterfacePath(kAcdc, 1) + "\\2\\Other");
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 1);
  EXPECT_EQ(CheckDeviceInterfaceGuids(1), 1);
  EXPECT_FALSE(registry_.HasKey(RegistryRoot::LocalMachine, ParametersPath(kAcdc, 1, "0")));
  EXPECT_FALSE(registry_.HasKey(RegistryRoot::LocalMachine, ParametersPath(kAcdc, 1, "2")));
  EXPECT_FALSE(registry_.GetValue(RegistryRoot::LocalMachine, InterfacePath(kAcdc, 1) + "\\0", kValue));
}

TEST_F(RegistryCheckTest, InstanceNamesUpTo255CharactersAreEnumerated) {
  // The longest name whose "Device Parameters" path fits its 256 characters is checked; a longer one is
  // skipped rather than opened under a cut path (which would name the instance key itself).
  const std::string fits(237, 'a');
  const std::string cut(255, 'b');
  PutGuid(kAcdc, 0, fits, WithNul(kGuidAa71));
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 0);

  MemoryRegistry registry;
  activeRegistry_ = &registry;
  registry.PutValue(RegistryRoot::LocalMachine, ParametersPath(kAcdc, 0, cut), kValue, WIN_REG_SZ, WithNul(kGuidAa71));
  registry.PutValue(RegistryRoot::LocalMachine, InterfacePath(kAcdc, 0) + "\\" + cut, kValue, WIN_REG_SZ,
                    WithNul(kGuidAa71));
  EXPECT_EQ(CheckDeviceInterfaceGuids(1), 1);
  EXPECT_EQ(registry.calls().set, 0) << "nothing written under a cut path";
  EXPECT_EQ(CheckDeviceInterfaceGuids(0), 1);
  activeRegistry_ = &registry_;
}

TEST_F(RegistryCheckTest, RepairWritesEveryInstanceWithoutReadingOrAsking) {
  InstallAllRight({"1", "2"});
  PutGuid(kAcdc, 2, "2", Bytes(kGuid808d));                                     // no NUL
  PutGuid(kAcdd, 0, "1", WithNul(kGuid808d + "tail"), WIN_REG_BINARY);          // right, kept as binary
  PutGuid(kAcdd, 1, "2", WithNul("{c0850fa1-2b83-47db-bcb7-738ab1a8b498}"));    // lower case
  registry_.PutKey(RegistryRoot::LocalMachine, ParametersPath(kAcdd, 2, "3"));  // no value yet
  platform_.administrator = true;
  registry_.ResetCalls();

  EXPECT_EQ(CheckDeviceInterfaceGuids(1), 1);
  EXPECT_EQ(registry_.calls().query, 0) << "the old value is not read first";
  EXPECT_EQ(registry_.calls().set, 6 * 2 + 1) << "right values are written too";
  for (const Interface& i : kInterfaces) {
    ExpectGuid(i.device, i.number, "1", i.guid);
    ExpectGuid(i.device, i.number, "2", i.guid);
  }
  ExpectGuid(kAcdd, 2, "3", kGuidAa71);

  EXPECT_NE(CheckTavikRegistry(), 0);
  EXPECT_TRUE(platform_.boxes.empty());
  EXPECT_TRUE(platform_.starts.empty());
}

TEST_F(RegistryCheckTest, AdministratorRepairsWrongValuesSilently) {
  InstallAllRight({"1"});
  PutGuid(kAcdc, 0, "1", WithNul(kGuidAa71));
  platform_.administrator = true;
  EXPECT_NE(CheckTavikRegistry(), 0);
  EXPECT_TRUE(platform_.boxes.empty());
  ExpectGuid(kAcdc, 0, "1", kGuidC085);
}

TEST_F(RegistryCheckTest, AdministratorIsToldWhenValuesStayWrong) {
  // One instance refuses writing and stays wrong; the others are repaired, and the check that follows decides.
  InstallAllRight({"1", "2"});
  PutGuid(kAcdc, 1, "1", WithNul(kGuidC085));
  PutGuid(kAcdc, 1, "2", WithNul(kGuidC085));
  registry_.DenyAccess(RegistryRoot::LocalMachine, ParametersPath(kAcdc, 1, "1"), WIN_KEY_SET_VALUE);
  platform_.administrator = true;
  platform_.answer = WIN_IDOK;

  EXPECT_EQ(CheckTavikRegistry(), 0);
  ASSERT_EQ(platform_.boxes.size(), 1u);
  EXPECT_EQ(platform_.boxes[0].text, "Error: The registry entries could not updated correctly.");
  EXPECT_EQ(platform_.boxes[0].caption, "[NEV-Tavik] CheckTavikRegistry");
  EXPECT_EQ(platform_.boxes[0].style, 0x1000u | 0x10u);  // MB_SYSTEMMODAL | MB_ICONERROR, an OK button
  ExpectGuid(kAcdc, 1, "2", kGuidAa71);
  EXPECT_TRUE(platform_.starts.empty());
}

TEST_F(RegistryCheckTest, FailedWritesFailTheRepairButTheCheckDecides) {
  InstallAllRight({"1"});
  registry_.failSet = true;
  EXPECT_EQ(CheckDeviceInterfaceGuids(1), 0);

  platform_.administrator = true;
  EXPECT_NE(CheckTavikRegistry(), 0) << "the values were right already";
  EXPECT_TRUE(platform_.boxes.empty());

  PutGuid(kAcdd, 0, "1", WithNul(kGuidC085));
  EXPECT_EQ(CheckTavikRegistry(), 0);
  EXPECT_EQ(platform_.boxes.size(), 1u);
}

TEST_F(RegistryCheckTest, NonAdministratorIsAskedAndAnswerDecidesTheRelaunch) {
  struct Case {
    int answer;
    std::size_t starts;
  };
  for (const Case& c : {Case{WIN_IDNO, 0}, Case{WIN_IDYES, 1}}) {
    FakePlatform platform;
    activePlatform_ = &platform;
    platform.answer = c.answer;
    platform.commandLine = std::vector<std::u16string>{u"C:\\updater.exe", u"/lang", u"de"};
    PutGuid(kAcdd, 1, "1", WithNul(kGuidAa71));

    EXPECT_EQ(CheckTavikRegistry(), 0) << "whatever the answer";
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0].text,
              "The registry entries for the USB device driver are not correct.\n"
              "Update (repair) USB registry entries? (needs administrator rights)");
    EXPECT_EQ(platform.boxes[0].caption, "[NEV-Tavik] CheckTavikRegistry");
    EXPECT_EQ(platform.boxes[0].style, 0x1000u | 0x10u | 0x4u);  // MB_SYSTEMMODAL | MB_ICONERROR | MB_YESNO
    ASSERT_EQ(platform.starts.size(), c.starts);
    if (c.starts == 1) {
      EXPECT_EQ(platform.starts[0].file, u"C:\\Program Files\\Updater\\updater.exe");
      EXPECT_EQ(platform.starts[0].parameters, "/lang de");
    }
    ExpectGuid(kAcdd, 1, "1", kGuidAa71);  // the value is left as it was: nothing written
    activePlatform_ = &platform_;
  }
}

TEST_F(RegistryCheckTest, NonAdministratorWithRightValuesSeesNothing) {
  InstallAllRight({"1"});
  EXPECT_NE(CheckTavikRegistry(), 0);
  EXPECT_TRUE(platform_.boxes.empty());
  EXPECT_EQ(registry_.calls().set, 0);
}

TEST_F(RegistryCheckTest, FailedAdministratorTestCountsAsNotAdministrator) {
  platform_.administratorTestError = 1336;
  try {
    IsUserAdministrator();
    ADD_FAILURE() << "no error raised";
  } catch (const AdministratorTestError& error) {
    EXPECT_EQ(error.code(), 1336u);
  }

  // Right values: the check passes. Wrong values: asked, and Yes still relaunches.
  InstallAllRight({"1"});
  EXPECT_NE(CheckTavikRegistry(), 0);
  EXPECT_TRUE(platform_.boxes.empty());

  PutGuid(kAcdc, 2, "1", {});
  platform_.answer = WIN_IDYES;
  EXPECT_EQ(CheckTavikRegistry(), 0);
  EXPECT_EQ(platform_.boxes.size(), 1u);
  EXPECT_EQ(platform_.starts.size(), 1u);
  EXPECT_EQ(registry_.calls().set, 0) << "no repair without rights";
}

TEST_F(RegistryCheckTest, RelaunchStartsNothingWhereItCannot) {
  struct Case {
    const char* what;
    bool administrator;
    bool programPathFails;
    std::size_t starts;
  };
  const Case cases[] = {
      {"administrator already", true, false, 0},
      {"own path unknown", false, true, 0},
      {"not administrator", false, false, 1},
  };
  for (const Case& c : cases) {
    FakePlatform platform;
    activePlatform_ = &platform;
    platform.administrator = c.administrator;
    platform.programPathFails = c.programPathFails;
    RelaunchElevated();
    EXPECT_EQ(platform.starts.size(), c.starts) << c.what;
    activePlatform_ = &platform_;
  }
}

TEST_F(RegistryCheckTest, RefusedElevationPromptIsNotAskedAgain) {
  PutGuid(kAcdc, 0, "1", {});
  platform_.answer = WIN_IDYES;
  platform_.startResult = WIN_ERROR_CANCELLED;
  EXPECT_EQ(CheckTavikRegistry(), 0);
  EXPECT_EQ(platform_.starts.size(), 1u);
}

TEST_F(RegistryCheckTest, RelaunchArgumentsAreJoinedNarrowedAndCut) {
  struct Case {
    const char* what;
    std::optional<std::vector<std::u16string>> commandLine;
    std::string expected;
  };
  const std::u16string a300(300, u'a');
  const std::u16string a258(258, u'a');
  const std::u16string a259(259, u'a');
  const std::u16string a200(200, u'a');
  const std::u16string b100(100, u'b');
  const Case cases[] = {
      {"no arguments", std::vector<std::u16string>{u"updater.exe"}, ""},
      {"command line not split", std::nullopt, ""},
      {"empty command line", std::vector<std::u16string>{}, ""},
      {"two", std::vector<std::u16string>{u"updater.exe", u"-a", u"b"}, "-a b"},
      {"a blank inside is not quoted", std::vector<std::u16string>{u"updater.exe", u"two words"}, "two words"},
      {"empty first argument adds no blank", std::vector<std::u16string>{u"updater.exe", u"", u"x"}, "x"},
      {"narrowed to the low 8 bits", std::vector<std::u16string>{u"updater.exe", u"J\u00f6rg", u"\u20ac"},
       "J\xf6rg \xac"},
      // A NUL is no character of a text: such a unit adds nothing, and what follows it still passes.
      {"a unit whose low 8 bits are zero", std::vector<std::u16string>{u"updater.exe", u"a\u0100b", u"\u4e00", u"c"},
       "ab  c"},
      {"one long argument", std::vector<std::u16string>{u"updater.exe", a300}, std::string(259, 'a')},
      {"blank fills the last place", std::vector<std::u16string>{u"updater.exe", a258, u"b"},
       std::string(258, 'a') + " "},
      {"no room for the blank", std::vector<std::u16string>{u"updater.exe", a259, u"b"}, std::string(259, 'a')},
      {"second argument cut", std::vector<std::u16string>{u"updater.exe", a200, b100},
       std::string(200, 'a') + " " + std::string(58, 'b')},
  };
  for (const Case& c : cases) {
    platform_.commandLine = std::vector<std::u16string>{u"updater.exe", a300, a300};  // leaves a full buffer
    BuildRelaunchArguments();
    platform_.commandLine = c.commandLine;
    const char* text = BuildRelaunchArguments();
    EXPECT_EQ(std::string(text), c.expected) << c.what;
    for (std::size_t i = c.expected.size(); i < REGCHECK_ARGUMENTS_SIZE; ++i) {
      ASSERT_EQ(text[i], '\0') << c.what << ": nothing left of the longer text before, at " << i;
    }
  }
}
