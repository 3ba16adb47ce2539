#pragma once
// The driver's registry layout as the tests of the registry check prepare it: the six interface keys, the GUID
// each must name, and the paths below them. The expected texts are written out here on purpose, apart from the
// product's table.

#include <string>

namespace driver_keys {
inline const std::string kBase = "SYSTEM\\CurrentControlSet\\Enum\\USB\\";
inline const std::string kAcdc = "VID_7A31&PID_ACDC";
inline const std::string kAcdd = "VID_7A31&PID_ACDD";
inline const std::string kGuidC085 = "{C0850FA1-2B83-47DB-BCB7-738AB1A8B498}";
inline const std::string kGuidAa71 = "{AA7192B3-37B8-40E2-9E87-22A6609BEFC6}";
inline const std::string kGuid808d = "{808D5088-F877-4A8D-9470-B1CA50D4632A}";

struct Interface {
  std::string device;
  int number;
  std::string guid;
};
// The six interfaces with the GUID each must name.
inline const Interface kInterfaces[] = {
    {kAcdc, 0, kGuidC085}, {kAcdc, 1, kGuidAa71}, {kAcdc, 2, kGuid808d},
    {kAcdd, 0, kGuid808d}, {kAcdd, 1, kGuidC085}, {kAcdd, 2, kGuidAa71},
};

inline std::string InterfacePath(const std::string& device, int number) {
  return kBase + device + "&MI_0" + std::to_string(number);
}
inline std::string ParametersPath(const std::string& device, int number, const std::string& instance) {
  return InterfacePath(device, number) + "\\" + instance + "\\Device Parameters";
}
}  // namespace driver_keys
