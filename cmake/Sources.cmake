# Sources are found by folder so that a new file per concept needs no edit here:
#   app/ image/ usb/ ui/ emu/   portable code (both builds)
#   platform/win32/             the Win32 layer (Windows build only)
#   platform/posix/             the native stand-ins (Linux build only)
#   *_main.cpp                  program entry points, never part of a library
#   tests/*.cpp                 portable tests; tests/win32/ and tests/posix/ per platform
#   bench/*.cpp                 benchmarks (native only)
set(UPDATER_PORTABLE_DIRS app image usb ui emu)
set(UPDATER_PORTABLE_SOURCES)
foreach(dir ${UPDATER_PORTABLE_DIRS})
  file(GLOB_RECURSE found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND UPDATER_PORTABLE_SOURCES ${found})
endforeach()
list(FILTER UPDATER_PORTABLE_SOURCES EXCLUDE REGEX "_main\\.cpp$")

if(WIN32)
  set(UPDATER_PLATFORM win32)
else()
  set(UPDATER_PLATFORM posix)
endif()
file(GLOB_RECURSE UPDATER_PLATFORM_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/platform/${UPDATER_PLATFORM}/*.cpp)
list(FILTER UPDATER_PLATFORM_SOURCES EXCLUDE REGEX "_main\\.cpp$")

add_library(updater_core STATIC ${UPDATER_PORTABLE_SOURCES} ${UPDATER_PLATFORM_SOURCES})
target_include_directories(updater_core PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
find_package(Threads REQUIRED)
target_link_libraries(updater_core PUBLIC Threads::Threads)
if(WIN32)
  target_compile_definitions(updater_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  target_link_libraries(updater_core PUBLIC setupapi advapi32 user32 gdi32 comctl32 shell32 ole32)
endif()

# Per-area additions live in cmake/areas/*.cmake (included in name order). They may append to:
#   UPDATER_RESOURCE_SOURCES      .rc files linked into every Windows executable (program, demo, tests)
#   UPDATER_TEST_EXTRA_SOURCES    extra sources of the test executable
#   UPDATER_TEST_EXTRA_LIBS       extra libraries of the test and benchmark executables
#   UPDATER_BENCH_EXTRA_SOURCES   extra sources of the benchmark executable
set(UPDATER_RESOURCE_SOURCES)
set(UPDATER_TEST_EXTRA_SOURCES)
set(UPDATER_TEST_EXTRA_LIBS)
set(UPDATER_BENCH_EXTRA_SOURCES)
file(GLOB UPDATER_AREA_CMAKE CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/areas/*.cmake)
list(SORT UPDATER_AREA_CMAKE)
foreach(area ${UPDATER_AREA_CMAKE})
  include(${area})
endforeach()

# The programs (the updater and its demo) come last: they use everything above.
include(cmake/Programs.cmake)

if(UPDATER_BUILD_TESTS)
  include(cmake/Tests.cmake)
endif()
if(UPDATER_BUILD_BENCHMARKS AND NOT WIN32)
  include(cmake/Benchmarks.cmake)
endif()
