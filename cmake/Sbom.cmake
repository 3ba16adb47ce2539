# What the release's bill of materials (scripts/sbom.py) reads from the build: the linker's map of each shipped
# program (which archive members and libraries went into it). The headers compiled in come from Ninja's record
# of every object's dependencies; the versions from the package database.
foreach(program HelmetUpdater helmet-update)
  if(TARGET ${program})
    target_link_options(${program} PRIVATE -Wl,-Map=${PROJECT_BINARY_DIR}/link-maps/${program}.map)
  endif()
endforeach()
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/link-maps)
