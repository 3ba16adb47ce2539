# Reproducible builds: the same commit built in another folder, at another time, in another time zone or with
# another umask gives the same bytes (scripts/reproducible.sh checks it).
#   - build paths (UPDATER_REPRODUCIBLE, on in the release builds): the source and build folders are mapped to
#     fixed names in debug information, __FILE__ and assertion texts. Off by default: a debugger then finds the
#     sources by their real paths, and a test finds the README from its own __FILE__;
#   - archives: members without time, owner or mode (ar D; binutils' default on Debian, said here so that it
#     does not hang on how binutils was configured);
#   - Windows programs: no link time in the PE header (windres writes a zero time into the resource directory
#     already);
#   - installed folders: their mode does not follow the umask (the .deb carries them).
# Time stamps that tools write (help2man's date, the .deb's file times) come from SOURCE_DATE_EPOCH, which
# scripts/release.sh sets to the commit's time.
option(UPDATER_REPRODUCIBLE "Map the source and build folders to fixed names in the built files" OFF)
if(UPDATER_REPRODUCIBLE)
  # The build folder's map last: GCC tries the last one first, and the build folder may lie in the sources.
  add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
endif()
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
