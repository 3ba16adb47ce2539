// The settings store against the current user's real registry.
#include "app/settings_store.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "app/registry.h"
#include "platform/program_context.h"

namespace {
constexpr char kKey[] = "software\\ostrel\\Velmora Communication System Software Update";
constexpr char kValue[] = "UI Language";

struct StoredValue {
  DWORD type;
  std::vector<BYTE> data;
};

std::optional<StoredValue> ReadStored() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
  StoredValue value{REG_NONE, std::vector<BYTE>(1024)};
  DWORD size = static_cast<DWORD>(value.data.size());
  const LONG status = RegQueryValueExA(key, kValue, nullptr, &value.type, value.data.data(), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  value.data.resize(size);
  return value;
}

void Store(DWORD type, const std::vector<BYTE>& data) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, kValue, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
  RegCloseKey(key);
}

std::vector<BYTE> Dword(std::uint32_t value) {
  return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
          static_cast<BYTE>(value >> 24)};
}

void DeleteKey() { RegDeleteTreeA(HKEY_CURRENT_USER, kKey); }

// Each test starts as a first start for this user; what was stored before is put back afterwards.
class Win32SettingsStoreTest : public ::testing::Test {
 protected:
  Win32SettingsStoreTest() : saved_(ReadStored()) { DeleteKey(); }
  ~Win32SettingsStoreTest() override {
    DeleteKey();
    if (saved_) Store(saved_->type, saved_->data);
  }

  // The program's store on the real registry, new as at a process start.
  std::uint16_t ReadUiLanguage() { return store_.ReadUiLanguage(); }
  void WriteUiLanguage(std::uint16_t language) { store_.WriteUiLanguage(language); }

  void ExpectStored(std::uint32_t language) {
    const auto value = ReadStored();
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value->data, Dword(language));
  }

  SettingsStore store_{PlatformRegistry()};

 private:
  std::optional<StoredValue> saved_;
};
}  // namespace

TEST_F(Win32SettingsStoreTest, FirstStartStoresUsEnglish) {
  EXPECT_EQ(ReadUiLanguage(), 1033);
  ExpectStored(1033);
}

TEST_F(Win32SettingsStoreTest, StoredValuesAreJudgedByTypeSizeAndLowBits) {
  struct Case {
    const char* what;
    DWORD type;
    std::vector<BYTE> data;
    std::uint16_t expected;
    bool rewritten;
  };
  const Case cases[] = {
      {"German", REG_DWORD, Dword(1031), 1031, false},
      {"none of the five", REG_DWORD, Dword(1041), 1041, false},
      {"high bits set", REG_DWORD, Dword(0x55AA0C0A), 3082, false},
      {"zero", REG_DWORD, Dword(0), 1033, true},
      {"low bits zero", REG_DWORD, Dword(0x04070000), 1033, true},
      {"text", REG_SZ, {'1', '0', '3', '6', 0}, 1033, true},
      {"binary of four bytes", REG_BINARY, Dword(1036), 1033, true},
      {"binary of two bytes", REG_BINARY, {0x0c, 0x04}, 1033, true},
      {"binary of 300 bytes", REG_BINARY, std::vector<BYTE>(300, 0x0c), 1033, true},
      {"qword", REG_QWORD, {0x0c, 0x04, 0, 0, 0, 0, 0, 0}, 1033, true},
      {"dword of two bytes", REG_DWORD, {0x0c, 0x04}, 1033, true},
  };
  for (const Case& c : cases) {
    DeleteKey();
    store_ = SettingsStore(PlatformRegistry());  // nothing cached, as at a process start
    Store(c.type, c.data);
    EXPECT_EQ(ReadUiLanguage(), c.expected) << c.what;
    if (c.rewritten) {
      ExpectStored(1033);
    } else {
      const auto value = ReadStored();
      ASSERT_TRUE(value.has_value()) << c.what;
      EXPECT_EQ(value->data, c.data) << c.what << ": left as it was";
    }
  }
}

TEST_F(Win32SettingsStoreTest, WriteStoresTheChoiceAndLaterReadsUseTheCache) {
  WriteUiLanguage(1036);
  ExpectStored(1036);
  // The registry is not read again: neither a removed key nor another stored value shows.
  DeleteKey();
  EXPECT_EQ(ReadUiLanguage(), 1036);
  EXPECT_FALSE(ReadStored().has_value()) << "nothing written back";
  Store(REG_DWORD, Dword(1040));
  EXPECT_EQ(ReadUiLanguage(), 1036);
}

TEST_F(Win32SettingsStoreTest, FirstReadAnswersLaterOnesWithoutTheRegistry) {
  Store(REG_DWORD, Dword(1040));
  EXPECT_EQ(ReadUiLanguage(), 1040);
  Store(REG_DWORD, Dword(1031));
  EXPECT_EQ(ReadUiLanguage(), 1040);
}
