// The native settings file: what a line must be to count as a value, what happens to one that is not, and
// that saving never loses a line or a value.

#include "platform/posix/registry_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/trace_capture.h"

namespace {
const std::string kKey = "software\\ostrel\\Velmora Communication System Software Update";
const std::string kLanguageLine = kKey + "\tUI Language\t4\t09040000";
const std::string kOtherLine = kKey + "\\sub\tOther\t3\t00ff";

class RegistryFileTest : public ::testing::Test {
 protected:
  RegistryFileTest()
      : dir_(::testing::TempDir() + "registry_file_test_" + std::to_string(getpid())),
        file_(dir_ + "/ostrel/registry.txt") {
    std::filesystem::remove_all(dir_);
  }
  ~RegistryFileTest() override { std::filesystem::remove_all(dir_); }

  void WriteFile(const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(file_).parent_path());
    std::ofstream(file_, std::ios::binary) << text;
  }
  std::string FileText() const {
    std::ifstream in(file_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Sets a value through the registry's interface, which saves the file.
  static RegistryStatus SetDword(FileRegistry& registry, const char* name, std::uint32_t value) {
    RegistryHandle key = nullptr;
    EXPECT_EQ(registry.CreateKey(registry.Root(RegistryRoot::CurrentUser), kKey.c_str(), WIN_KEY_ALL_ACCESS, &key),
              WIN_ERROR_SUCCESS);
    const RegistryStatus status = registry.SetValue(key, name, WIN_REG_DWORD, &value, sizeof value);
    registry.CloseKey(key);
    return status;
  }
  static std::vector<std::uint8_t> Data(const FileRegistry& registry, const std::string& path,
                                        const std::string& name) {
    const auto value = registry.GetValue(RegistryRoot::CurrentUser, path, name);
    return value ? value->data : std::vector<std::uint8_t>{0xDE, 0xAD};
  }
  // The names in a folder, sorted.
  static std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::vector<std::string> TextsOf(const FileRegistry& registry) {
    std::vector<std::string> texts;
    for (const auto& entry : registry.Values(RegistryRoot::CurrentUser)) {
      std::ostringstream text;
      text << entry.path << '|' << entry.name << '|' << entry.value.type << '|' << entry.value.data.size();
      texts.push_back(text.str());
    }
    return texts;
  }

  std::string dir_;
  std::string file_;
};
}  // namespace

TEST_F(RegistryFileTest, ABadLineIsReportedKeptAndNeverLosesAnotherLine) {
  struct Case {
    std::string line;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"garbage", "it is not four fields separated by tabs (it has 1)"},
      {kKey + "\tBad\t4", "it is not four fields separated by tabs (it has 3)"},
      {kKey + "\tBad\t4\t00\textra", "it is not four fields separated by tabs (it has 5)"},
      {kKey + "\tBad\t4\t-1", "its data \"-1\" is not pairs of hex digits"},
      {kKey + "\tBad\t4\t+f", "its data \"+f\" is not pairs of hex digits"},
      {kKey + "\tBad\t4\t f", "its data \" f\" is not pairs of hex digits"},
      {kKey + "\tBad\t4\t0c0", "its data \"0c0\" is not pairs of hex digits"},
      {kKey + "\tBad\t4\t0x01", "its data \"0x01\" is not pairs of hex digits"},
      {kKey + "\tBad\t4294967296\t00", "its type \"4294967296\" is not a decimal number from 0 to 4294967295"},
      {kKey + "\tBad\t18446744073709551620\t00",
       "its type \"18446744073709551620\" is not a decimal number from 0 to 4294967295"},
      {kKey + "\tBad\t-4\t00", "its type \"-4\" is not a decimal number from 0 to 4294967295"},
      {kKey + "\tBad\t+4\t00", "its type \"+4\" is not a decimal number from 0 to 4294967295"},
      {kKey + "\tBad\t 4\t00", "its type \" 4\" is not a decimal number from 0 to 4294967295"},
      {kKey + "\tBad\t\t00", "its type \"\" is not a decimal number from 0 to 4294967295"},
      {kKey + "\tBad\t0x4\t00", "its type \"0x4\" is not a decimal number from 0 to 4294967295"},
      {kKey + "\tB\rad\t4\t00", "its key path or value name holds a carriage return"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    WriteFile(kLanguageLine + "\n" + c.line + "\n" + kOtherLine + "\n");
    TraceCapture capture;
    FileRegistry registry(file_);

    // The line is reported with the file and its number; the lines around it count.
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Settings file " + file_ + ", line 2: " + c.why +
                                                        "; the line is not used and stays in the file"});
    EXPECT_EQ(registry.KeptLines(), std::vector<std::string>{c.line});
    EXPECT_EQ(Data(registry, kKey, "UI Language"), (std::vector<std::uint8_t>{0x09, 0x04, 0, 0}));
    EXPECT_EQ(Data(registry, kKey + "\\sub", "Other"), (std::vector<std::uint8_t>{0x00, 0xFF}));
    EXPECT_FALSE(registry.GetValue(RegistryRoot::CurrentUser, kKey, "Bad").has_value());

    // Saving writes the bad line back as it was, ahead of the values; nothing is lost.
    ASSERT_EQ(SetDword(registry, "UI Language", 1036), WIN_ERROR_SUCCESS);
    EXPECT_EQ(FileText(), c.line + "\n" + kKey + "\tUI Language\t4\t0c040000\n" + kOtherLine + "\n");
    FileRegistry reloaded(file_);
    EXPECT_EQ(reloaded.KeptLines(), std::vector<std::string>{c.line});
    EXPECT_EQ(TextsOf(reloaded), TextsOf(registry));
  }
}

TEST_F(RegistryFileTest, WellFormedLinesInEveryAllowedSpelling) {
  struct Case {
    std::string line;
    std::string path;
    std::string name;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  };
  const std::vector<Case> cases = {
      {kKey + "\tV\t4\t0A0b0C0d", kKey, "V", 4, {0x0A, 0x0B, 0x0C, 0x0D}},
      {kKey + "\tV\t0004\t00", kKey, "V", 4, {0x00}},
      {kKey + "\tV\t4294967295\tff", kKey, "V", 4294967295u, {0xFF}},
      {kKey + "\tV\t3\t", kKey, "V", 3, {}},
      {kKey + "\t\t1\t4100", kKey, "", 1, {0x41, 0x00}},
      {"\tTop\t4\t01000000", "", "Top", 4, {1, 0, 0, 0}},
      {kKey + "\tV\t4\t01000000\r", kKey, "V", 4, {1, 0, 0, 0}},  // a file saved with CR LF
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    WriteFile(c.line + "\n\n");
    TraceCapture capture;
    FileRegistry registry(file_);
    EXPECT_TRUE(capture.Texts().empty());
    EXPECT_TRUE(registry.KeptLines().empty());
    const auto value = registry.GetValue(RegistryRoot::CurrentUser, c.path, c.name);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, c.type);
    EXPECT_EQ(value->data, c.data);
  }
}

TEST_F(RegistryFileTest, OfTwoLinesForOneValueTheLaterCountsAndTheEarlierStays) {
  const std::string earlier = kKey + "\tui language\t4\t07040000";  // names compare without regard to case
  WriteFile(earlier + "\n" + kOtherLine + "\n" + kLanguageLine + "\n");
  TraceCapture capture;
  FileRegistry registry(file_);
  EXPECT_EQ(capture.Texts(),
            std::vector<std::string>{"Settings file " + file_ +
                                     ", line 1: line 3 sets the same value again, and counts; the line is not used "
                                     "and stays in the file"});
  EXPECT_EQ(Data(registry, kKey, "UI Language"), (std::vector<std::uint8_t>{0x09, 0x04, 0, 0}));

  // Written back ahead of the values, the earlier line still gives way to the value on the next load.
  ASSERT_EQ(SetDword(registry, "UI Language", 1031), WIN_ERROR_SUCCESS);
  FileRegistry reloaded(file_);
  EXPECT_EQ(reloaded.KeptLines(), std::vector<std::string>{earlier});
  EXPECT_EQ(Data(reloaded, kKey, "UI Language"), (std::vector<std::uint8_t>{0x07, 0x04, 0, 0}));
  EXPECT_EQ(Data(reloaded, kKey + "\\sub", "Other"), (std::vector<std::uint8_t>{0x00, 0xFF}));
}

TEST_F(RegistryFileTest, NamesThatNoLineCanHoldAreRefusedRatherThanLostOnSave) {
  FileRegistry registry(file_);
  RegistryHandle key = nullptr;
  for (const char* path : {"soft\tware", "soft\rware", "soft\nware"}) {
    EXPECT_EQ(registry.CreateKey(registry.Root(RegistryRoot::CurrentUser), path, WIN_KEY_ALL_ACCESS, &key),
              WIN_ERROR_ACCESS_DENIED)
        << path;
  }
  for (const char* name : {"UI\tLanguage", "UI\rLanguage", "UI\nLanguage"}) {
    EXPECT_EQ(SetDword(registry, name, 1), WIN_ERROR_ACCESS_DENIED) << name;
  }
  EXPECT_TRUE(registry.Values(RegistryRoot::CurrentUser).empty());
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(RegistryFileTest, AFileThatCannotBeWrittenKeepsTheValueForTheRunAndSaysSo) {
  // The folder of the file is a plain file: nothing can be created below it.
  std::filesystem::create_directories(dir_);
  std::ofstream(dir_ + "/ostrel") << "in the way";
  TraceCapture capture;
  FileRegistry registry(file_);
  EXPECT_EQ(SetDword(registry, "UI Language", 1040), WIN_ERROR_ACCESS_DENIED);
  EXPECT_EQ(Data(registry, kKey, "UI Language"), (std::vector<std::uint8_t>{0x10, 0x04, 0, 0}));
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Settings file " + file_ +
                                                      " could not be written; the setting holds for this run only"});
}

TEST_F(RegistryFileTest, AFileThatCannotBeReadIsNeverWrittenOver) {
  std::filesystem::create_directories(file_);  // there, but nothing to read
  TraceCapture capture;
  FileRegistry registry(file_);
  EXPECT_EQ(SetDword(registry, "UI Language", 1040), WIN_ERROR_ACCESS_DENIED);
  EXPECT_TRUE(std::filesystem::is_directory(file_));
  EXPECT_EQ(
      capture.Texts(),
      (std::vector<std::string>{
          "Settings file " + file_ + " could not be read; it is left as it is and no setting is saved in this run",
          "Settings file " + file_ + " was not written: it could not be read, and writing would lose what it holds"}));
}

TEST_F(RegistryFileTest, TheFileIsPrivateInFoldersMadePrivate) {
  const mode_t umaskBefore = umask(0);  // even a umask that takes nothing away
  FileRegistry registry(file_);
  const RegistryStatus status = SetDword(registry, "UI Language", 1031);
  umask(umaskBefore);
  ASSERT_EQ(status, WIN_ERROR_SUCCESS);
  const auto mode = [](const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  };
  EXPECT_EQ(mode(file_), 0600u);
  EXPECT_EQ(mode(dir_ + "/ostrel"), 0700u);
  EXPECT_EQ(mode(dir_), 0700u);
  EXPECT_EQ(FilesIn(dir_ + "/ostrel"), std::vector<std::string>{"registry.txt"});
}

TEST_F(RegistryFileTest, AWriteThatFailsLeavesTheOldFileAsItWas) {
  WriteFile(kLanguageLine + "\n" + kOtherLine + "\n");
  const std::string before = FileText();
  TraceCapture capture;
  FileRegistry registry(file_);
  // The disk is full after a few bytes: a file size limit fails the write as a full disk does, also for root.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit small{8, limit.rlim_max};
  void (*const previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const RegistryStatus status = SetDword(registry, "UI Language", 1040);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(status, WIN_ERROR_ACCESS_DENIED);
  EXPECT_EQ(FileText(), before);
  EXPECT_EQ(FilesIn(dir_ + "/ostrel"), std::vector<std::string>{"registry.txt"});  // nothing left behind
  EXPECT_EQ(capture.Texts(), std::vector<std::string>{"Settings file " + file_ +
                                                      " could not be written; the setting holds for this run only"});
}

TEST_F(RegistryFileTest, ALinkPlantedBesideTheFileIsNeverWrittenThrough) {
  WriteFile(kLanguageLine + "\n");
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "not the settings";
  // Where the file was once written aside, under a name anyone could foresee.
  std::filesystem::create_symlink(victim, file_ + ".new");
  FileRegistry registry(file_);
  EXPECT_EQ(SetDword(registry, "UI Language", 1040), WIN_ERROR_SUCCESS);
  std::ifstream in(victim);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "not the settings");
  EXPECT_EQ(FileText(), kKey + "\tUI Language\t4\t10040000\n");
}
