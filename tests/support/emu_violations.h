#pragma once
// Violations of the emulated bus and its units fail the running test as they happen (the sink is installed
// for the whole test program); these macros make the check explicit at the end of a test as well.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emu/emulated_usb.h"

#define EXPECT_NO_USB_VIOLATIONS(bus) EXPECT_THAT((bus).Violations(), ::testing::IsEmpty())
#define ASSERT_NO_USB_VIOLATIONS(bus) ASSERT_THAT((bus).Violations(), ::testing::IsEmpty())
