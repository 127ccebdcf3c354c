# The module as a Windows DLL: no C or C++ runtime, decorated exports from a
# .def file, msi.dll's component query imported by ordinal.

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(MODULE_ARCH i686)
  set(MODULE_ENTRY _DllMain@12)
  # -k drops the @12 from the import name; with NONAME there is none anyway.
  set(DLLTOOL_FLAGS -k)
else()
  set(MODULE_ARCH x64)
  set(MODULE_ENTRY DllMain)
  set(DLLTOOL_FLAGS)
endif()

set(MSI_ORDINAL_DEF ${PROJECT_SOURCE_DIR}/module/msi_ordinal_${MODULE_ARCH}.def)
set(MSI_ORDINAL_LIB ${CMAKE_BINARY_DIR}/libmsi_ordinal.a)
add_custom_command(
  OUTPUT ${MSI_ORDINAL_LIB}
  COMMAND ${CMAKE_DLLTOOL} ${DLLTOOL_FLAGS} -d ${MSI_ORDINAL_DEF} -l ${MSI_ORDINAL_LIB}
  DEPENDS ${MSI_ORDINAL_DEF}
  COMMENT "Import library for msi.dll by ordinal")
add_custom_target(msi_ordinal_lib DEPENDS ${MSI_ORDINAL_LIB})

include(${CMAKE_CURRENT_LIST_DIR}/VersionResource.cmake)

# Compiled once, linked twice: the module, and the same objects linked at
# another base, which the PE check compares with the module relocated there.
add_library(InstTMMod_objects OBJECT ${PRODUCT_SOURCES} ${MODULE_VERSION_RC})
target_include_directories(InstTMMod_objects PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(InstTMMod_objects PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:
  -Os -Wall -Wextra -Werror
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-threadsafe-statics
  # Without a C runtime there is no memset or memcpy to call: keep every
  # fill and copy inline.
  -fno-builtin -fno-tree-loop-distribute-patterns -minline-all-stringops>)

# windows_module(TARGET DIRECTORY [LINK OPTIONS...]) links InstTMMod.dll into
# DIRECTORY from the objects above.
function(windows_module target directory)
  add_library(${target} SHARED $<TARGET_OBJECTS:InstTMMod_objects>
              ${PROJECT_SOURCE_DIR}/module/exports_${MODULE_ARCH}.def)
  add_dependencies(${target} msi_ordinal_lib)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME InstTMMod
    RUNTIME_OUTPUT_DIRECTORY ${directory}
    ARCHIVE_OUTPUT_DIRECTORY ${directory})
  target_link_options(${target} PRIVATE
    -nostdlib -s
    -Wl,-e,${MODULE_ENTRY}
    -Wl,--no-insert-timestamp
    # Hardening stated rather than left to the linker's defaults: the image
    # can be loaded at any base (ASLR), its data is never executable (DEP),
    # and it declares that it has no structured exception handlers, which
    # it has not: no code of the module installs one.
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--no-seh
    ${ARGN})
  target_link_libraries(${target} PRIVATE ${MSI_ORDINAL_LIB} advapi32 user32 kernel32)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/cmake/readonly_resources.py $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

windows_module(InstTMMod ${CMAKE_BINARY_DIR})
windows_module(InstTMMod_rebased ${CMAKE_BINARY_DIR}/rebased
               -Wl,--image-base,${MODULE_OTHER_BASE})
