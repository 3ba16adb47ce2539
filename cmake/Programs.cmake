# The Windows programs: the updater (real USB) and the demo (the emulated unit in place of the USB stack), both
# windowed, statically linked, with every resource; and the driver that runs the demo unattended.
if(WIN32)
  foreach(program HelmetUpdater HelmetUpdaterDemo)
    if(program STREQUAL "HelmetUpdater")
      set(entry ${PROJECT_SOURCE_DIR}/platform/win32/updater_main.cpp)
    else()
      set(entry ${PROJECT_SOURCE_DIR}/platform/win32/demo_main.cpp)
    endif()
    add_executable(${program} WIN32 ${entry} ${UPDATER_RESOURCE_SOURCES})
    target_link_libraries(${program} PRIVATE updater_core)
    # wWinMain is the entry.
    target_compile_options(${program} PRIVATE -municode)
    target_link_options(${program} PRIVATE -municode -static)
  endforeach()

  # The driver finds the demo's windows and presses its buttons from outside; the end-to-end tests use the
  # same code.
  set(UPDATER_DEMO_DRIVER_SOURCES ${PROJECT_SOURCE_DIR}/tools/demo_driver.cpp)
  add_executable(HelmetDemoDriver ${PROJECT_SOURCE_DIR}/tools/demo_driver_main.cpp ${UPDATER_DEMO_DRIVER_SOURCES})
  target_include_directories(HelmetDemoDriver PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(HelmetDemoDriver PRIVATE user32 gdi32)
  target_compile_definitions(HelmetDemoDriver PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  target_compile_options(HelmetDemoDriver PRIVATE -municode)
  target_link_options(HelmetDemoDriver PRIVATE -municode -static)
  list(APPEND UPDATER_TEST_EXTRA_SOURCES ${UPDATER_DEMO_DRIVER_SOURCES})
endif()
