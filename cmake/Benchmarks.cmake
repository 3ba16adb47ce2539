find_package(benchmark REQUIRED)
find_package(ZLIB REQUIRED)
add_executable(updater_bench
  bench/alloc_counter.cpp
  bench/block_exchange_bench.cpp
  bench/crc32_bench.cpp
  bench/emulated_unit_bench.cpp
  bench/firmware_image_bench.cpp
  bench/fw_loader_bench.cpp
  tests/support/fake_image_resources.cpp)
target_include_directories(updater_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/bench)
target_link_libraries(updater_bench PRIVATE updater_emu updater_platform ${UPDATER_TEST_EXTRA_LIBS}
                                            benchmark::benchmark benchmark::benchmark_main ZLIB::ZLIB)
target_compile_options(updater_bench PRIVATE -O2)

# A tray of units on the real clock, through the terminal updater: a program of its own, for one run lasts minutes
# (bench/tray_bench.cpp). The terminal updater's library comes from cmake/Cli.cmake, after this file.
function(updater_tray_bench)
  if(TARGET updater_cli)
    add_executable(tray_bench bench/tray_bench.cpp)
    target_link_libraries(tray_bench PRIVATE updater_cli updater_emu ${UPDATER_TEST_EXTRA_LIBS}
                                             benchmark::benchmark benchmark::benchmark_main)
    target_compile_options(tray_bench PRIVATE -O2)
  endif()
endfunction()
cmake_language(DEFER CALL updater_tray_bench)
