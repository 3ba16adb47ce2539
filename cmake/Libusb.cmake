# The libusb-1.0 backend of the USB seam (platform/libusb/), for the terminal program on Linux and macOS; its
# tests, which run the real libusb against the emulated unit through umockdev; its benchmark; and the udev rule
# that lets the logged-in user open the unit.
#
#   UPDATER_LIBUSB            build it (default: on for a native Linux build when pkg-config finds libusb-1.0)
#   UPDATER_UDEV_RULES_DIR    where `cmake --install` puts the udev rule, relative to the install prefix
#
# The tests need umockdev (pkg-config umockdev-1.0 and umockdev-wrapper); without it they are left out.

set(updater_libusb_default OFF)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(LIBUSB QUIET IMPORTED_TARGET libusb-1.0)
  endif()
  if(LIBUSB_FOUND AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(updater_libusb_default ON)
  endif()
endif()
option(UPDATER_LIBUSB "Build the libusb-1.0 USB backend, its tests and its benchmark" ${updater_libusb_default})
if(NOT UPDATER_LIBUSB)
  return()
endif()
if(NOT LIBUSB_FOUND)
  message(FATAL_ERROR "UPDATER_LIBUSB is on, but pkg-config does not find libusb-1.0 (Debian: libusb-1.0-0-dev)")
endif()

add_library(updater_libusb STATIC
  platform/libusb/libusb_device_naming.cpp
  platform/libusb/libusb_errors.cpp
  platform/libusb/libusb_platform.cpp
  platform/libusb/pipe_transfer.cpp)
target_link_libraries(updater_libusb PUBLIC updater_core PkgConfig::LIBUSB)

# The rule for udev; <prefix>/lib/udev/rules.d is read by udev for the prefixes /usr and /usr/local alike.
set(UPDATER_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule goes, relative to the install prefix")
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  install(FILES ${PROJECT_SOURCE_DIR}/dist/70-helmet-unit.rules DESTINATION ${UPDATER_UDEV_RULES_DIR} COMPONENT udev)
endif()

# The tests and the benchmark run the real libusb on usbdevfs requests that the emulated unit answers.
if(UPDATER_BUILD_TESTS OR UPDATER_BUILD_BENCHMARKS)
  pkg_check_modules(UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0)
  find_program(UMOCKDEV_WRAPPER umockdev-wrapper)
  if(NOT UMOCKDEV_FOUND OR NOT UMOCKDEV_WRAPPER)
    message(STATUS "libusb backend: umockdev not found (Debian: umockdev, libumockdev-dev); its tests are left out")
    return()
  endif()
  add_library(updater_umockdev_unit STATIC ${PROJECT_SOURCE_DIR}/tests/libusb/umockdev_unit.cpp)
  target_include_directories(updater_umockdev_unit PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(updater_umockdev_unit PUBLIC updater_libusb updater_emu updater_platform PkgConfig::UMOCKDEV)
endif()

if(UPDATER_BUILD_TESTS)
  add_executable(libusb_tests
    tests/libusb/libusb_device_naming_test.cpp
    tests/libusb/libusb_loader_test.cpp
    tests/libusb/libusb_platform_test.cpp
    tests/libusb/libusb_session_test.cpp
    tests/libusb/udev_rule_test.cpp
    tests/contract/libusb_bench.cpp
    tests/contract/seam_walk.cpp
    tests/contract/usb_contract.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/emu_violations.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/fake_resources.cpp
    ${PROJECT_SOURCE_DIR}/tools/update_drive.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/trace_capture.cpp)
  target_link_libraries(libusb_tests PRIVATE updater_umockdev_unit gmock gtest gtest_main)
  target_compile_definitions(libusb_tests PRIVATE UPDATER_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # The terminal program through libusb (one unit, and a tray of them), when its library is built: cmake/Cli.cmake
  # makes it after this file.
  function(updater_libusb_cli_test)
    if(TARGET updater_cli)
      target_sources(libusb_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/libusb/libusb_cli_test.cpp
                                          ${PROJECT_SOURCE_DIR}/tests/libusb/libusb_tray_test.cpp)
      target_link_libraries(libusb_tests PRIVATE updater_cli)
    endif()
  endfunction()
  cmake_language(DEFER CALL updater_libusb_cli_test)
  # Every test case runs in a process of its own under the wrapper, which puts the testbed's /sys and /dev in
  # place of the real ones. The executor is a small script around the wrapper, so that listing the cases and
  # running them see the same environment:
  # AddressSanitizer wants its runtime first among the libraries, and the wrapper preloads its own before it;
  # ThreadSanitizer leaves the races inside the bench's third-party libraries (umockdev, GLib, libudev) alone.
  set(libusb_tests_exports "")
  if(UPDATER_SANITIZE MATCHES "address")
    set(libusb_tests_exports "export ASAN_OPTIONS=\"\${ASAN_OPTIONS:+\$ASAN_OPTIONS:}verify_asan_link_order=0\"\n")
  elseif(UPDATER_SANITIZE MATCHES "thread")
    set(libusb_tests_exports "export TSAN_OPTIONS=\"\${TSAN_OPTIONS:+\$TSAN_OPTIONS:}suppressions=${PROJECT_SOURCE_DIR}/tests/libusb/tsan.supp\"\n")
  endif()
  set(libusb_testbed ${CMAKE_CURRENT_BINARY_DIR}/libusb_testbed.sh)
  file(WRITE ${libusb_testbed}.in "#!/bin/sh\n${libusb_tests_exports}exec '${UMOCKDEV_WRAPPER}' \"\$@\"\n")
  file(COPY_FILE ${libusb_testbed}.in ${libusb_testbed} ONLY_IF_DIFFERENT)
  file(CHMOD ${libusb_testbed} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set_target_properties(libusb_tests PROPERTIES CROSSCOMPILING_EMULATOR ${libusb_testbed})
  gtest_discover_tests(libusb_tests EXTRA_ARGS --gtest_color=no DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 600)
endif()

if(UPDATER_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
  add_executable(libusb_bench ${PROJECT_SOURCE_DIR}/bench/libusb/libusb_bench.cpp ${PROJECT_SOURCE_DIR}/bench/alloc_counter.cpp)
  target_include_directories(libusb_bench PRIVATE ${PROJECT_SOURCE_DIR}/bench)
  target_link_libraries(libusb_bench PRIVATE updater_umockdev_unit benchmark::benchmark)
  target_compile_options(libusb_bench PRIVATE -O2)
endif()
