# The captures of the terminal updater (--capture), decoded by Wireshark's command line (tshark, Debian's package,
# installed by scripts/setup.sh) with the unit's dissector dist/helmet-unit.lua: each plan's whole update, `info`,
# and every fault kind of the emulated unit. Native tree only: the sanitizer trees add nothing to what tshark
# decodes, and a whole update's capture takes a while to decode.
if(WIN32 OR NOT UPDATER_BUILD_TESTS OR UPDATER_SANITIZE OR NOT TARGET helmet-update)
  return()
endif()
find_package(Python3 COMPONENTS Interpreter QUIET)
find_program(TSHARK_PROGRAM tshark)
if(NOT Python3_Interpreter_FOUND OR NOT TSHARK_PROGRAM)
  message(STATUS "capture tests: python3 or tshark not found (scripts/setup.sh installs tshark); left out")
  return()
endif()
foreach(case plan_145 plan_325 info drop badcrc wrongid wrongaddress wronglength wrongdata shortread transient stuck
             slowerase unplug powerloss answerloss slowanswer)
  add_test(NAME capture_tshark_${case}
           COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/capture/tshark_capture_test.py
                   $<TARGET_FILE:helmet-update> ${PROJECT_SOURCE_DIR}/dist/helmet-unit.lua ${case})
  set_tests_properties(capture_tshark_${case} PROPERTIES TIMEOUT 900)
endforeach()
