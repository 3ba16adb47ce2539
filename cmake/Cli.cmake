# helmet-update: the terminal updater (cli/), natively. The same core as the window program, with a terminal
# view and loop; the libusb backend for real units and the emulated unit for --demo. Its tests (cli_tests) run
# the program's function in-process on the emulated unit and a virtual clock.
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()
find_package(CLI11 CONFIG QUIET)
find_package(nlohmann_json 3 CONFIG QUIET)
if(NOT CLI11_FOUND OR NOT nlohmann_json_FOUND)
  message(STATUS "helmet-update: CLI11 or nlohmann-json not found (Debian: libcli11-dev nlohmann-json3-dev); left out")
  return()
endif()

add_library(updater_cli STATIC
  cli/cli_texts.cpp
  cli/helmet_update.cpp
  cli/terminal_view.cpp
  cli/unit_choice.cpp
  cli/update_runner.cpp)
target_link_libraries(updater_cli PUBLIC updater_posix CLI11::CLI11 nlohmann_json::nlohmann_json)

add_executable(helmet-update cli/helmet_update_main.cpp)
target_link_libraries(helmet-update PRIVATE updater_cli updater_emu)
if(UPDATER_LIBUSB)
  target_link_libraries(helmet-update PRIVATE updater_libusb)
  target_compile_definitions(helmet-update PRIVATE UPDATER_HAS_LIBUSB)
endif()

if(UPDATER_BUILD_TESTS)
  add_executable(cli_tests
    tests/cli/cli_texts_test.cpp
    tests/cli/helmet_update_test.cpp)
  target_link_libraries(cli_tests PRIVATE updater_cli updater_test_support gmock gtest gtest_main)
  gtest_discover_tests(cli_tests EXTRA_ARGS --gtest_color=no DISCOVERY_MODE PRE_TEST)
  # The live line on a real terminal, when tmux is there.
  find_program(TMUX_PROGRAM tmux)
  if(TMUX_PROGRAM)
    add_test(NAME cli_live_line COMMAND ${PROJECT_SOURCE_DIR}/tests/cli/live_line.sh $<TARGET_FILE:helmet-update>)
    set_tests_properties(cli_live_line PROPERTIES TIMEOUT 120)
  endif()
endif()
