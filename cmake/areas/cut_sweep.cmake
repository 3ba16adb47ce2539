# The cut sweep (native only): whole updates of the harder emulated unit cut at every point tried, with the unit
# brought back and "Update!" pressed again. CTest runs the strided subset and the control; under the sanitizers
# (unoptimised builds) a few points only, for the memory and thread checks.
if(NOT WIN32)
  add_executable(cut_sweep
    ${PROJECT_SOURCE_DIR}/tools/cut_sweep_main.cpp
    ${PROJECT_SOURCE_DIR}/tools/cut_sweep.cpp
    ${PROJECT_SOURCE_DIR}/tools/update_drive.cpp)
  target_link_libraries(cut_sweep PRIVATE updater_emu updater_posix)
  if(UPDATER_BUILD_TESTS)
    enable_testing()
    if(UPDATER_SANITIZE)
      add_test(NAME cut_sweep_quick COMMAND cut_sweep --quick --jobs 2)
    else()
      add_test(NAME cut_sweep COMMAND cut_sweep --jobs 2)
      add_test(NAME cut_sweep_control COMMAND cut_sweep --control --jobs 2)
    endif()
  endif()
endif()
