# GoogleTest from the sources of Debian's googletest package: no network, same code for both builds.
set(UPDATER_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${UPDATER_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GoogleTest's own sources are not ours to keep warning-free.
foreach(t gtest gtest_main gmock gmock_main)
  if(TARGET ${t})
    target_compile_options(${t} PRIVATE -w)
  endif()
endforeach()

# What the tests share: fakes, captures and hosts.
add_library(updater_test_support STATIC
  tests/support/emu_host.cpp
  tests/support/emu_violations.cpp
  tests/support/fake_image_resources.cpp
  tests/support/fake_progress_view.cpp
  tests/support/fake_resources.cpp
  tests/support/lockstep_poster.cpp
  tests/support/trace_capture.cpp
  tools/update_drive.cpp)
target_include_directories(updater_test_support PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(updater_test_support PUBLIC updater_emu updater_platform gmock gtest)

# The portable tests (both builds).
set(UPDATER_TEST_SOURCES
  tests/behaviour_digest_test.cpp
  tests/block_protocol_test.cpp
  tests/contract/emulated_bench.cpp
  tests/contract/seam_walk.cpp
  tests/contract/usb_contract.cpp
  tests/crc32_test.cpp
  tests/demo_unit_config_test.cpp
  tests/device_info_query_test.cpp
  tests/emu_block_crc_test.cpp
  tests/emu_bus_test.cpp
  tests/emu_exchange_test.cpp
  tests/emu_fault_kinds_test.cpp
  tests/emu_fault_test.cpp
  tests/emu_harder_model_test.cpp
  tests/emu_flash_test.cpp
  tests/emu_queries_test.cpp
  tests/emu_read_time_limit_test.cpp
  tests/emu_reset_test.cpp
  tests/emu_violation_test.cpp
  tests/firmware_image_test.cpp
  tests/flash_passes_test.cpp
  tests/fw_loader_test.cpp
  tests/main_window_test.cpp
  tests/raw_data_test.cpp
  tests/registry_check_test.cpp
  tests/settings_store_test.cpp
  tests/startup_test.cpp
  tests/trace_file_test.cpp
  tests/trace_test.cpp
  tests/ui_language_test.cpp
  tests/unit_text_test.cpp
  tests/unit_lock_memory_test.cpp
  tests/update_controller_test.cpp
  tests/update_session_test.cpp
  tests/usb_capture_test.cpp
  tests/usb_port_test.cpp)
if(NOT WIN32)
  # The native stand-ins.
  list(APPEND UPDATER_TEST_SOURCES tests/posix/registry_file_test.cpp tests/posix/unit_lock_test.cpp)
  # The fuzzers' scripted unit, held to the USB backends' contract.
  list(APPEND UPDATER_TEST_SOURCES tests/contract/scripted_bench.cpp fuzz/scripted_unit_usb.cpp)
endif()
if(WIN32)
  # The Win32 layer for real under Wine, and the programs end to end.
  list(APPEND UPDATER_TEST_SOURCES
    tests/win32/e2e_demo_test.cpp
    tests/win32/elevated_start_test.cpp
    tests/win32/main_window_dialog_test.cpp
    tests/win32/main_window_shell_test.cpp
    tests/win32/manifest_test.cpp
    tests/win32/message_box_test.cpp
    tests/win32/process_elevation_test.cpp
    tests/win32/program_resources_test.cpp
    tests/win32/progress_window_test.cpp
    tests/win32/registry_check_test.cpp
    tests/win32/safe_dll_search_test.cpp
    tests/win32/settings_store_test.cpp
    tests/win32/taskbar_progress_test.cpp
    tests/win32/trace_file_storage_test.cpp
    tests/win32/ui_dialog_template.cpp
    tests/win32/ui_dialogs_test.cpp
    tests/win32/ui_resources_test.cpp
    tests/win32/ui_strings_test.cpp
    tests/win32/unit_lock_test.cpp
    tests/win32/win32_keep_awake_test.cpp
    tests/win32/winusb_platform_test.cpp
    tests/contract/winusb_bench.cpp
    ${UPDATER_DEMO_DRIVER_SOURCES}
    ${UPDATER_RESOURCE_SOURCES})
endif()
add_executable(updater_tests ${UPDATER_TEST_SOURCES})
target_link_libraries(updater_tests PRIVATE updater_test_support ${UPDATER_TEST_EXTRA_LIBS} gtest_main)
# The end-to-end tests start the programs, which lie beside them.
if(TARGET HelmetUpdaterDemo)
  add_dependencies(updater_tests HelmetUpdater HelmetUpdaterDemo)
endif()
if(WIN32)
  # zlib for Windows serves only as the independent CRC-32 oracle of the tests.
  target_link_libraries(updater_tests PRIVATE /usr/x86_64-w64-mingw32/lib/libz.a)
  target_link_options(updater_tests PRIVATE -static)
else()
  find_package(ZLIB REQUIRED)
  target_link_libraries(updater_tests PRIVATE ZLIB::ZLIB)
endif()

# Every test case is a CTest test of its own (`ctest -N` lists them, `ctest -R` runs one). They are listed when
# CTest runs, so that the Windows tests are found under Wine in the test session.
enable_testing()
include(GoogleTest)
gtest_discover_tests(updater_tests EXTRA_ARGS --gtest_color=no DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
