# Run by CPack after it made the .deb (CPACK_POST_BUILD_SCRIPTS): the package made again by dpkg-deb with every
# time the commit's (CPack stamps its files, its control files and the archive's members with the time of the
# run) and files in name order, owned by root, every folder 0755 (CPack makes them by the umask). SOURCE_DATE_EPOCH, else the time of the source tree's commit.
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${CPACK_UPDATER_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed OR epoch STREQUAL "")
    message(WARNING "No SOURCE_DATE_EPOCH and no commit: the package keeps the times of this run")
    return()
  endif()
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(root "${package}.root")
  file(REMOVE_RECURSE "${root}")
  # umask 022: dpkg-deb wants its control folder no stricter than 0755, whatever the caller's umask.
  execute_process(
    COMMAND sh -c "umask 022 && dpkg-deb -R \"$0\" \"$1\" && find \"$1\" -type d -exec chmod 0755 {} + && find \"$1\" -exec touch -h -d \"@$2\" {} + && SOURCE_DATE_EPOCH=$2 dpkg-deb --root-owner-group --build \"$1\" \"$0\" >/dev/null"
            "${package}" "${root}" "${epoch}"
    RESULT_VARIABLE failed)
  file(REMOVE_RECURSE "${root}")
  if(failed)
    message(FATAL_ERROR "Could not make ${package} again with the commit's times")
  endif()
endforeach()
