# helmet-update: the terminal updater (cli/). The same core as the window program, with a terminal view and
# loop. Natively: the libusb backend for real units and the emulated unit for --demo. On Windows: the console
# program helmet-update.exe on WinUSB, and helmet-update-demo.exe on the emulated unit, both with the window
# program's resources (its texts and images). Its tests (cli_tests natively; inside updater_tests on Windows)
# run the program's function in-process on the emulated unit and a virtual clock.
if(WIN32)
  # CLI11 and nlohmann-json are header-only: the cross build takes Debian's headers, alone, from a folder of
  # their own (never the host's /usr/include as a whole).
  find_path(CLI11_HOST_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_path(JSON_HOST_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT CLI11_HOST_INCLUDE OR NOT JSON_HOST_INCLUDE)
    message(STATUS "helmet-update: CLI11 or nlohmann-json not found (Debian: libcli11-dev nlohmann-json3-dev); left out")
    return()
  endif()
  set(cli_header_dir ${PROJECT_BINARY_DIR}/cli-headers)
  file(MAKE_DIRECTORY ${cli_header_dir})
  file(CREATE_LINK ${CLI11_HOST_INCLUDE}/CLI ${cli_header_dir}/CLI SYMBOLIC)
  file(CREATE_LINK ${JSON_HOST_INCLUDE}/nlohmann ${cli_header_dir}/nlohmann SYMBOLIC)
  add_library(cli_header_libraries INTERFACE)
  target_include_directories(cli_header_libraries SYSTEM INTERFACE ${cli_header_dir})
  set(cli_libraries cli_header_libraries)
  set(cli_console_source cli/console_win32.cpp)
else()
  find_package(CLI11 CONFIG QUIET)
  find_package(nlohmann_json 3 CONFIG QUIET)
  if(NOT CLI11_FOUND OR NOT nlohmann_json_FOUND)
    message(STATUS "helmet-update: CLI11 or nlohmann-json not found (Debian: libcli11-dev nlohmann-json3-dev); left out")
    return()
  endif()
  set(cli_libraries CLI11::CLI11 nlohmann_json::nlohmann_json)
  set(cli_console_source cli/console_posix.cpp)
endif()

add_library(updater_cli STATIC
  cli/cli_options.cpp
  cli/cli_texts.cpp
  cli/cli_trace_file.cpp
  cli/helmet_update.cpp
  cli/live_row.cpp
  cli/terminal_view.cpp
  cli/tray_board.cpp
  cli/tray_runner.cpp
  cli/update_runner.cpp)
target_link_libraries(updater_cli PUBLIC updater_platform ${cli_libraries})

if(WIN32)
  add_executable(helmet-update cli/helmet_update_main.cpp ${cli_console_source} ${UPDATER_RESOURCE_SOURCES})
  target_link_libraries(helmet-update PRIVATE updater_cli)
  add_executable(helmet-update-demo cli/helmet_update_main.cpp ${cli_console_source} ${UPDATER_RESOURCE_SOURCES})
  target_link_libraries(helmet-update-demo PRIVATE updater_cli updater_emu)
  target_compile_definitions(helmet-update-demo PRIVATE UPDATER_CLI_EMULATED UPDATER_CLI_DEMO_ONLY)
  foreach(program helmet-update helmet-update-demo)
    # wmain is the entry: the arguments as the system has them.
    target_compile_options(${program} PRIVATE -municode)
    target_link_options(${program} PRIVATE -municode -static)
  endforeach()
  # Every Windows program restricts its DLL search (platform/win32/safe_dll_search.h): its import table shows
  # the call. Runs on the build machine (`ctest -R dll_search` in this tree); scripts/test.sh runs the script too.
  add_test(NAME dll_search_imports
           COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check_dll_search.sh $<TARGET_FILE:HelmetUpdater>
                   $<TARGET_FILE:HelmetUpdaterDemo> $<TARGET_FILE:HelmetDemoDriver> $<TARGET_FILE:helmet-update>
                   $<TARGET_FILE:helmet-update-demo>)
else()
  add_executable(helmet-update cli/helmet_update_main.cpp ${cli_console_source})
  target_link_libraries(helmet-update PRIVATE updater_cli updater_emu)
  target_compile_definitions(helmet-update PRIVATE UPDATER_CLI_EMULATED)
  if(UPDATER_LIBUSB)
    target_link_libraries(helmet-update PRIVATE updater_libusb)
    target_compile_definitions(helmet-update PRIVATE UPDATER_HAS_LIBUSB)
  endif()
endif()

if(UPDATER_BUILD_TESTS AND WIN32)
  # Under Wine the whole suite runs in one process: the terminal updater's tests join it, with the console
  # programs started as processes of their own.
  target_sources(updater_tests PRIVATE
    tests/cli/capture_test.cpp
    tests/cli/cli_options_test.cpp
    tests/cli/cli_texts_test.cpp
    tests/cli/cli_trace_file_test.cpp
    tests/cli/helmet_update_test.cpp
    tests/cli/json_paths_test.cpp
    tests/cli/terminal_view_test.cpp
    tests/cli/termination_test.cpp
    tests/cli/tray_test.cpp
    tests/cli/unit_text_shown_test.cpp
    tests/win32/console_program_test.cpp)
  target_link_libraries(updater_tests PRIVATE updater_cli)
  add_dependencies(updater_tests helmet-update helmet-update-demo)
elseif(UPDATER_BUILD_TESTS)
  add_executable(cli_tests
    tests/cli/capture_test.cpp
    tests/cli/cli_options_test.cpp
    tests/cli/cli_texts_test.cpp
    tests/cli/cli_trace_file_test.cpp
    tests/cli/helmet_update_test.cpp
    tests/cli/json_paths_test.cpp
    tests/cli/terminal_view_test.cpp
    tests/cli/termination_test.cpp
    tests/cli/tray_test.cpp
    tests/cli/unit_text_shown_test.cpp)
  target_link_libraries(cli_tests PRIVATE updater_cli updater_test_support gmock gtest gtest_main)
  gtest_discover_tests(cli_tests EXTRA_ARGS --gtest_color=no DISCOVERY_MODE PRE_TEST)
  # The program as built carries the hardening: the stack protector, the checked functions, full RELRO.
  if(UPDATER_HARDENED)
    add_test(NAME helmet_update_hardened
             COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check_hardening.sh elf $<TARGET_FILE:helmet-update>)
  endif()
  # The live line on a real terminal, when tmux is there.
  find_program(TMUX_PROGRAM tmux)
  if(TMUX_PROGRAM)
    add_test(NAME cli_live_line COMMAND ${PROJECT_SOURCE_DIR}/tests/cli/live_line.sh $<TARGET_FILE:helmet-update>)
    set_tests_properties(cli_live_line PROPERTIES TIMEOUT 120)
  endif()
  # The program as a process of its own: SIGTERM, SIGHUP, a closed terminal, a closed pipe, the cancel question
  # on a pseudo-terminal.
  find_package(Python3 COMPONENTS Interpreter QUIET)
  if(Python3_Interpreter_FOUND)
    foreach(case sigterm sighup second_sigterm terminal_closed head cancel_after_end)
      add_test(NAME cli_signals_${case}
               COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/cli/signals_test.py
                       $<TARGET_FILE:helmet-update> ${case})
      set_tests_properties(cli_signals_${case} PROPERTIES TIMEOUT 180)
    endforeach()
  endif()
endif()
