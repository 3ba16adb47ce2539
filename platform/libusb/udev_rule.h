#pragma once
// The udev rule that lets the logged-in user open the unit on Linux (dist/70-helmet-unit.rules, installed by
// `cmake --install` into <prefix>/lib/udev/rules.d), and the words a front end shows when an open was refused
// for lack of permission (LibusbPlatform::LastOpenWasPermissionDenied()).

inline constexpr const char UDEV_RULE_FILE[] = "70-helmet-unit.rules";

// Installs the rule from the directory that holds it and applies it to units already plugged in.
inline constexpr const char UDEV_INSTALL_COMMAND[] =
    "sudo install -m 644 70-helmet-unit.rules /etc/udev/rules.d/ && sudo udevadm control --reload-rules && "
    "sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=7a31";

inline constexpr const char UDEV_PERMISSION_HINT[] =
    "The unit was found, but this user may not open it.\n"
    "Install the udev rule 70-helmet-unit.rules that comes with the updater, which gives the logged-in user\n"
    "access to the unit:\n"
    "  sudo install -m 644 70-helmet-unit.rules /etc/udev/rules.d/ && sudo udevadm control --reload-rules && "
    "sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=7a31\n"
    "Then unplug the unit, plug it in again and start the update once more.";
