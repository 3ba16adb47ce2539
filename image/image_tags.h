#pragma once
// The tags inside a firmware image that mark its texts: each 37 raw bytes ending in an underscore; the text
// behind a tag runs to the first NUL byte.

#include <cstddef>

inline constexpr std::size_t IMAGE_TAG_LENGTH = 37;
inline constexpr char APPLICATION_VERSION_TAG[] = "e3975ace-7185-4365-8636-815f1a11a5b9_";
inline constexpr char BOOTLOADER_VERSION_TAG[] = "fcb98c2f-47bb-473f-94be-f46be6cf31fd_";
inline constexpr char HARDWARE_RANGE_TAG[] = "e1878a8b-4cf1-48b3-8c5d-acef9d700b82_";
static_assert(sizeof(APPLICATION_VERSION_TAG) - 1 == IMAGE_TAG_LENGTH);
static_assert(sizeof(BOOTLOADER_VERSION_TAG) - 1 == IMAGE_TAG_LENGTH);
static_assert(sizeof(HARDWARE_RANGE_TAG) - 1 == IMAGE_TAG_LENGTH);
