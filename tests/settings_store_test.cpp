#include "app/settings_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/memory_registry.h"
#include "support/trace_capture.h"

#if !defined(_WIN32)
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "platform/posix/registry_file.h"
#endif

namespace {
const std::string kKey = "software\\ostrel\\Velmora Communication System Software Update";
const std::string kValue = "UI Language";

std::vector<std::uint8_t> Dword(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

void ExpectStoredLanguage(const MemoryRegistry& registry, std::uint32_t language) {
  const auto value = registry.GetValue(RegistryRoot::CurrentUser, kKey, kValue);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, WIN_REG_DWORD);
  EXPECT_EQ(value->data, Dword(language));
}

// The store of the process that runs now (ProcessRun), as the program reaches its one store.
SettingsStore* g_store = nullptr;
std::uint16_t ReadUiLanguage() { return g_store->ReadUiLanguage(); }
void WriteUiLanguage(std::uint16_t language) { g_store->WriteUiLanguage(language); }

// One process: a new store (nothing cached) on a registry in memory.
class ProcessRun {
 public:
  ProcessRun() : previous_(g_store) { g_store = &store; }
  ~ProcessRun() {
    EXPECT_EQ(registry.OpenHandleCount(), 0u) << "a key was left open";
    g_store = previous_;
  }
  ProcessRun(const ProcessRun&) = delete;
  ProcessRun& operator=(const ProcessRun&) = delete;

  MemoryRegistry registry;
  SettingsStore store{registry};

 private:
  SettingsStore* previous_ = nullptr;
};

class SettingsStoreTest : public ::testing::Test {
 protected:
  ~SettingsStoreTest() override { EXPECT_TRUE(trace_.Lines().empty()) << "the store writes no trace lines"; }

  TraceCapture trace_;
  ProcessRun run_;
  MemoryRegistry& registry_ = run_.registry;
};
}  // namespace

TEST_F(SettingsStoreTest, FirstStartCreatesTheKeyAndStoresUsEnglish) {
  EXPECT_EQ(ReadUiLanguage(), 1033);
  ExpectStoredLanguage(registry_, 1033);
  // Under the current user only.
  EXPECT_TRUE(registry_.Values(RegistryRoot::LocalMachine).empty());
}

TEST_F(SettingsStoreTest, StoredLanguageIsUsedAsItIsWithoutWriting) {
  struct Case {
    std::uint32_t stored;
    std::uint16_t expected;
  };
  const Case cases[] = {
      {1031, 1031},         {3082, 3082},         {1041, 1041},  // none of the five offered: returned unchanged
      {0xFFFF, 0xFFFF},     {0x12340407, 0x0407},                // high bits ignored
      {0xFFFF0001, 0x0001},
  };
  for (const Case& c : cases) {
    ProcessRun run;
    run.registry.PutDword(RegistryRoot::CurrentUser, kKey, kValue, c.stored);
    EXPECT_EQ(ReadUiLanguage(), c.expected) << std::hex << c.stored;
    EXPECT_EQ(run.registry.calls().set, 0) << "nothing written over a usable value " << std::hex << c.stored;
    ExpectStoredLanguage(run.registry, c.stored);
  }
}

TEST_F(SettingsStoreTest, UnusableStoredValueIsReplacedByUsEnglish) {
  struct Case {
    const char* what;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  };
  const Case cases[] = {
      {"zero", WIN_REG_DWORD, Dword(0)},
      {"low 16 bits zero", WIN_REG_DWORD, Dword(0x04070000)},
      {"text", WIN_REG_SZ, {'1', '0', '3', '6', 0}},
      {"short text", WIN_REG_SZ, {'7', 0}},
      {"binary of four bytes", WIN_REG_BINARY, Dword(1036)},
      {"empty binary", WIN_REG_BINARY, {}},
      {"binary of two bytes", WIN_REG_BINARY, {0x0c, 0x04}},
      {"binary of 300 bytes", WIN_REG_BINARY, std::vector<std::uint8_t>(300, 0x0c)},
      {"qword", WIN_REG_QWORD, {0x0c, 0x04, 0, 0, 0, 0, 0, 0}},
      {"dword of two bytes", WIN_REG_DWORD, {0x0c, 0x04}},
      {"dword of eight bytes", WIN_REG_DWORD, {0x0c, 0x04, 0, 0, 0, 0, 0, 0}},
      {"empty dword", WIN_REG_DWORD, {}},
      {"no type", WIN_REG_NONE, Dword(1036)},
  };
  for (const Case& c : cases) {
    ProcessRun run;
    run.registry.PutValue(RegistryRoot::CurrentUser, kKey, kValue, c.type, c.data);
    EXPECT_EQ(ReadUiLanguage(), 1033) << c.what;
    ExpectStoredLanguage(run.registry, 1033);
  }
}

TEST_F(SettingsStoreTest, UnreadableKeyCountsAsHoldingNothing) {
  registry_.PutDword(RegistryRoot::CurrentUser, kKey, kValue, 1031);
  registry_.failQuery = true;
  EXPECT_EQ(ReadUiLanguage(), 1033);
  ExpectStoredLanguage(registry_, 1033);
}

TEST_F(SettingsStoreTest, WriteStoresADwordWithZeroHighBits) {
  WriteUiLanguage(0xFFFF);
  ExpectStoredLanguage(registry_, 0x0000FFFF);
  WriteUiLanguage(3082);
  ExpectStoredLanguage(registry_, 3082);
}

TEST_F(SettingsStoreTest, ReadAfterWriteAnswersFromTheCacheAlsoWhenWritingFailed) {
  struct Case {
    const char* what;
    bool failCreate;
    bool failSet;
  };
  const Case cases[] = {{"written", false, false}, {"key not created", true, false}, {"value not set", false, true}};
  for (const Case& c : cases) {
    ProcessRun run;
    run.registry.PutDword(RegistryRoot::CurrentUser, kKey, kValue, 1031);
    run.registry.failCreate = c.failCreate;
    run.registry.failSet = c.failSet;
    WriteUiLanguage(1036);
    run.registry.ResetCalls();
    EXPECT_EQ(ReadUiLanguage(), 1036) << c.what;
    EXPECT_EQ(run.registry.calls().Total(), 0) << c.what;
    // A failed write is not kept: the next start uses what was stored before.
    ExpectStoredLanguage(run.registry, c.failCreate || c.failSet ? 1031 : 1036);
  }
}

TEST_F(SettingsStoreTest, TheRegistryIsReadAtMostOnce) {
  struct Case {
    const char* what;
    bool stored;
    bool failCreate;
  };
  const Case cases[] = {{"stored", true, false}, {"first start", false, false}, {"default not kept", false, true}};
  for (const Case& c : cases) {
    ProcessRun run;
    if (c.stored) run.registry.PutDword(RegistryRoot::CurrentUser, kKey, kValue, 1040);
    run.registry.failCreate = c.failCreate;
    const std::uint16_t expected = c.stored ? 1040 : 1033;
    EXPECT_EQ(ReadUiLanguage(), expected) << c.what;
    EXPECT_EQ(ReadUiLanguage(), expected) << c.what;
    EXPECT_EQ(ReadUiLanguage(), expected) << c.what;
    EXPECT_LE(run.registry.calls().open, 1) << c.what;
    EXPECT_LE(run.registry.calls().query, 1) << c.what;
    EXPECT_LE(run.registry.calls().create, 1) << c.what;
  }
}

#if !defined(_WIN32)
namespace {
// The native store: the same rules over a per-user file.
class SettingsFileTest : public ::testing::Test {
 protected:
  // A folder of this process: CTest runs the test cases in processes side by side.
  SettingsFileTest()
      : file_(::testing::TempDir() + "settings_file_test_" + std::to_string(getpid()) + "/ostrel/registry.txt") {
    std::remove(file_.c_str());
  }
  ~SettingsFileTest() override { std::remove(file_.c_str()); }

  // One run of the program: a registry loaded from the file, nothing cached.
  std::uint16_t ReadInNewRun() {
    FileRegistry registry(file_);
    return SettingsStore(registry).ReadUiLanguage();
  }

  void WriteInNewRun(std::uint16_t language) {
    FileRegistry registry(file_);
    SettingsStore(registry).WriteUiLanguage(language);
  }

  std::string file_;
};
}  // namespace

TEST_F(SettingsFileTest, LanguageLastsFromRunToRun) {
  EXPECT_EQ(ReadInNewRun(), 1033);
  WriteInNewRun(1036);
  EXPECT_EQ(ReadInNewRun(), 1036);
  WriteInNewRun(3082);
  EXPECT_EQ(ReadInNewRun(), 3082);
}

TEST_F(SettingsFileTest, WronglyTypedOrGarbledEntriesCountAsNothingStored) {
  {
    std::ofstream out(file_);
    out << "garbage without tabs\n"
        << kKey << "\tUI Language\t4\t0c0\n"          // odd hex: ignored
        << kKey << "\tUI Language\t1\t3130333600\n";  // text "1036"
  }
  EXPECT_EQ(ReadInNewRun(), 1033);
  FileRegistry reloaded(file_);
  const auto value = reloaded.GetValue(RegistryRoot::CurrentUser, kKey, kValue);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, WIN_REG_DWORD);
  EXPECT_EQ(value->data, Dword(1033));
}
#endif
