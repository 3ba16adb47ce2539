# The Windows programs: the updater (real USB) and the demo (the emulated unit in place of the USB stack), both
# windowed, statically linked, with every resource; and the driver that runs the demo unattended.
if(WIN32)
  add_executable(HelmetUpdater WIN32 platform/win32/updater_main.cpp ${UPDATER_RESOURCE_SOURCES})
  target_link_libraries(HelmetUpdater PRIVATE updater_win32)

  # The demo: the program with the emulated unit (and its settings from the environment) in place of the USB stack.
  add_executable(HelmetUpdaterDemo WIN32 platform/win32/demo_main.cpp ${UPDATER_RESOURCE_SOURCES})
  target_link_libraries(HelmetUpdaterDemo PRIVATE updater_win32 updater_emu)

  foreach(program HelmetUpdater HelmetUpdaterDemo)
    # wWinMain is the entry.
    target_compile_options(${program} PRIVATE -municode)
    target_link_options(${program} PRIVATE -municode -static)
  endforeach()

  # The driver finds the demo's windows and presses its buttons from outside; the end-to-end tests use the
  # same code.
  set(UPDATER_DEMO_DRIVER_SOURCES tools/demo_driver.cpp)
  add_executable(HelmetDemoDriver tools/demo_driver_main.cpp platform/win32/safe_dll_search.cpp
                                  ${UPDATER_DEMO_DRIVER_SOURCES})
  target_include_directories(HelmetDemoDriver PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(HelmetDemoDriver PRIVATE user32 gdi32)
  target_compile_definitions(HelmetDemoDriver PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  target_compile_options(HelmetDemoDriver PRIVATE -municode)
  target_link_options(HelmetDemoDriver PRIVATE -municode -static)
endif()
