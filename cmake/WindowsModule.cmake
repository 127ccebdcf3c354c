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

add_library(InstTMMod SHARED ${PRODUCT_SOURCES}
            ${PROJECT_SOURCE_DIR}/module/exports_${MODULE_ARCH}.def)
add_dependencies(InstTMMod msi_ordinal_lib)
set_target_properties(InstTMMod PROPERTIES
  PREFIX ""
  OUTPUT_NAME InstTMMod
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(InstTMMod PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(InstTMMod PRIVATE
  -Os -Wall -Wextra -Werror
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -fno-stack-protector -fno-threadsafe-statics
  # Without a C runtime there is no memset or memcpy to call: keep every
  # fill and copy inline.
  -fno-builtin -fno-tree-loop-distribute-patterns -minline-all-stringops)
target_link_options(InstTMMod PRIVATE
  -nostdlib -s
  -Wl,-e,${MODULE_ENTRY}
  -Wl,--no-insert-timestamp)
target_link_libraries(InstTMMod PRIVATE ${MSI_ORDINAL_LIB} advapi32 user32 kernel32)
