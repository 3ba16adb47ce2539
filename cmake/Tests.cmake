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

file(GLOB UPDATER_TEST_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/tests/*.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/*.cpp
  ${PROJECT_SOURCE_DIR}/tests/${UPDATER_PLATFORM}/*.cpp)
if(WIN32)
  list(APPEND UPDATER_TEST_EXTRA_SOURCES ${UPDATER_RESOURCE_SOURCES})
endif()
add_executable(updater_tests ${UPDATER_TEST_SOURCES} ${UPDATER_TEST_EXTRA_SOURCES})
target_include_directories(updater_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(updater_tests PRIVATE updater_core ${UPDATER_TEST_EXTRA_LIBS} gmock gtest gtest_main)
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

enable_testing()
add_test(NAME updater_tests COMMAND updater_tests --gtest_color=no)
