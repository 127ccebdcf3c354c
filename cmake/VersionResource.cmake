# The module's version resource, from the one version in CMakeLists.txt
# (project(... VERSION ...)): sets MODULE_VERSION_RC, the resource script to
# compile into the module. A missing part of the version counts as 0.
enable_language(RC)
set(MODULE_VERSION_PARTS ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR}
    ${PROJECT_VERSION_PATCH} ${PROJECT_VERSION_TWEAK})
list(TRANSFORM MODULE_VERSION_PARTS REPLACE "^$" "0")
list(JOIN MODULE_VERSION_PARTS "," MODULE_VERSION_COMMAS)
set(MODULE_VERSION_RC ${CMAKE_BINARY_DIR}/version.rc)
configure_file(${PROJECT_SOURCE_DIR}/module/version.rc.in ${MODULE_VERSION_RC} @ONLY)

# Where the second link of the module goes for the relocation check: far from
# the linkers' own choices, and on x64 above 4 GiB, so that both halves of
# every 64-bit address move.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(MODULE_OTHER_BASE 0x5A5A0000)
else()
  set(MODULE_OTHER_BASE 0x7FF65A5A0000)
endif()
