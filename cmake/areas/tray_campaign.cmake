# The tray campaign (native only): trays of emulated units updated at once by the terminal updater, in-process,
# with units unplugged, cut, late, on other ports and swapped between ports. It needs the terminal updater's
# library (left out without CLI11 and nlohmann-json). CTest runs a few trays in every build (the sanitizer trees
# too, for the memory and thread checks), a larger subset and the control in the plain build.
if(NOT WIN32 AND TARGET updater_cli)
  add_executable(tray_campaign
    ${PROJECT_SOURCE_DIR}/tools/tray_campaign_main.cpp
    ${PROJECT_SOURCE_DIR}/tools/tray_campaign.cpp)
  target_link_libraries(tray_campaign PRIVATE updater_cli updater_emu updater_posix)
  if(UPDATER_BUILD_TESTS)
    enable_testing()
    add_test(NAME tray_campaign_quick COMMAND tray_campaign --quick --jobs 2)
    set_tests_properties(tray_campaign_quick PROPERTIES TIMEOUT 300)
    if(NOT UPDATER_SANITIZE)
      add_test(NAME tray_campaign COMMAND tray_campaign --jobs 2)
      add_test(NAME tray_campaign_control COMMAND tray_campaign --control --trays 6 --jobs 2)
      set_tests_properties(tray_campaign tray_campaign_control PROPERTIES TIMEOUT 600)
    endif()
  endif()
endif()
