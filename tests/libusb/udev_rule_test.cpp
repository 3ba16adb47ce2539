// The udev rule that ships with the updater and the hint that names it: both must stay in step with the ids
// the program accepts, and the hint with the rule's file name.

#include "platform/libusb/udev_rule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>

#include "app/registry_check.h"

namespace {
std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The rule lines of the file, comments and blank lines left out.
std::vector<std::string> RuleLines() {
  std::ifstream file(std::string(UPDATER_SOURCE_DIR) + "/dist/" + UDEV_RULE_FILE);
  EXPECT_TRUE(file.good()) << "dist/" << UDEV_RULE_FILE << " is missing";
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}
}  // namespace

TEST(UdevRule, GivesTheSeatUserEveryDeviceIdThatTheProgramAccepts) {
  const std::vector<std::string> lines = RuleLines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string& rule = lines[0];
  EXPECT_NE(rule.find("SUBSYSTEM==\"usb\""), std::string::npos);
  EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos);
  // The ids as the driver entries name them ("VID_7A31&PID_ACDC"), in udev's lower-case hex.
  for (const char* id : REGCHECK_DEVICE_IDS) {
    SCOPED_TRACE(id);
    const std::string text = Lower(id);
    EXPECT_NE(rule.find("ATTR{idVendor}==\"" + text.substr(4, 4) + "\""), std::string::npos);
    const std::size_t products = rule.find("ATTR{idProduct}==\"");
    ASSERT_NE(products, std::string::npos);
    const std::string alternatives = rule.substr(products + 18, rule.find('"', products + 18) - products - 18);
    std::stringstream split(alternatives);
    bool listed = false;
    for (std::string product; std::getline(split, product, '|');) listed = listed || product == text.substr(13, 4);
    EXPECT_TRUE(listed) << alternatives;
  }
  // uaccess is applied by 73-seat-late.rules: the rule has to come before it.
  EXPECT_LT(std::string(UDEV_RULE_FILE), std::string("73-seat-late.rules"));
}

TEST(UdevRule, ThePermissionHintNamesTheRuleAndTheCommandThatInstallsIt) {
  const std::string hint = UDEV_PERMISSION_HINT;
  EXPECT_NE(hint.find(UDEV_RULE_FILE), std::string::npos);
  EXPECT_NE(hint.find(UDEV_INSTALL_COMMAND), std::string::npos);
  EXPECT_NE(std::string(UDEV_INSTALL_COMMAND).find(UDEV_RULE_FILE), std::string::npos);
}
