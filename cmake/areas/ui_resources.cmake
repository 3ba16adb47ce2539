# The interface's resources: the string tables and the three dialog templates in each language, the icons, the
# manifest and the version block. One resource script per language (the rows of res/languages.def); each
# includes the shared layouts and string tables.
set(UI_RES_DIR ${PROJECT_SOURCE_DIR}/res)
file(STRINGS ${UI_RES_DIR}/languages.def language_rows REGEX "^UI_LANGUAGE\\(")
set(UI_LANGUAGE_SCRIPTS)
foreach(row IN LISTS language_rows)
  string(REGEX REPLACE ".*\"([a-z_]+\\.rc)\"\\)$" "\\1" script "${row}")
  list(APPEND UI_LANGUAGE_SCRIPTS ${UI_RES_DIR}/${script})
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${UI_RES_DIR}/languages.def)
set(UI_STRING_TABLES ${UI_RES_DIR}/ui_strings.rci ${UI_RES_DIR}/cli_strings.rci)

if(WIN32)
  set(UI_RESOURCE_SCRIPTS ${UI_LANGUAGE_SCRIPTS} ${UI_RES_DIR}/ui_neutral.rc)
  # windres reports no included files to the build, so name them here.
  set_source_files_properties(${UI_RESOURCE_SCRIPTS} PROPERTIES OBJECT_DEPENDS
    "${UI_RES_DIR}/ui_resources.rch;${UI_STRING_TABLES};${UI_RES_DIR}/ui_dialogs.rci;${PROJECT_SOURCE_DIR}/ui/resource_ids.h;${UI_RES_DIR}/updater.manifest;${UI_RES_DIR}/icons/updater.ico;${UI_RES_DIR}/icons/about.ico")
  list(APPEND UPDATER_RESOURCE_SOURCES ${UI_RESOURCE_SCRIPTS})
  # The tests read the version block back through the system's version API.
  list(APPEND UPDATER_TEST_EXTRA_LIBS version)
endif()

# Natively the string table is compiled in (platform/posix/compiled_ui_strings.cpp), generated from the same scripts.
if(NOT WIN32)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(UI_STRING_TABLE ${PROJECT_BINARY_DIR}/generated/ui_string_table.inc)
  add_custom_command(OUTPUT ${UI_STRING_TABLE}
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/gen_ui_strings.py
      ${PROJECT_SOURCE_DIR}/res ${PROJECT_SOURCE_DIR}/ui/resource_ids.h ${UI_STRING_TABLE}
    DEPENDS ${PROJECT_SOURCE_DIR}/scripts/gen_ui_strings.py ${UI_RES_DIR}/languages.def ${UI_STRING_TABLES}
      ${UI_LANGUAGE_SCRIPTS} ${PROJECT_SOURCE_DIR}/ui/resource_ids.h
    COMMENT "Generating the string table from the resource scripts")
  target_sources(updater_posix PRIVATE ${UI_STRING_TABLE})
endif()

# Shows one window in one language for the screenshots of tests/win32/ui_screenshots.sh; built only by it.
if(WIN32)
  add_executable(ui_preview WIN32 EXCLUDE_FROM_ALL
    ${PROJECT_SOURCE_DIR}/tests/win32/ui_preview/ui_preview_main.cpp ${UI_RESOURCE_SCRIPTS})
  target_link_libraries(ui_preview PRIVATE updater_win32)
  target_link_options(ui_preview PRIVATE -municode)
endif()
