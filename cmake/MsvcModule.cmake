# The 32-bit module built by the MSVC toolchain family: cl.exe and link.exe on
# a Windows host, or clang-cl and lld-link here, with the same flags. No C or
# C++ runtime, no Windows SDK: the import libraries come from .def files, and
# DllMain is the entry point.

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "The MSVC-family build makes the 32-bit module only")
endif()

# CMake's defaults for this family turn on exceptions and RTTI and link a
# list of SDK libraries; the module wants none of them.
string(REGEX REPLACE "/EH[a-z]*|/GR" "" CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS}")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")

# One import library per system DLL, made from the module's own .def files:
# llvm-dlltool where the toolchain names one, else the archiver of Visual
# Studio (lib.exe /def). Both keep the import names undecorated.
set(IMPORT_DEFS
  ${PROJECT_SOURCE_DIR}/module/imports_i686/advapi32.def
  ${PROJECT_SOURCE_DIR}/module/imports_i686/kernel32.def
  ${PROJECT_SOURCE_DIR}/module/imports_i686/user32.def
  ${PROJECT_SOURCE_DIR}/module/msi_ordinal_i686.def)
set(IMPORT_LIBS)
foreach(def ${IMPORT_DEFS})
  get_filename_component(stem ${def} NAME_WE)
  set(lib ${CMAKE_BINARY_DIR}/imports/${stem}.lib)
  if(CMAKE_DLLTOOL)
    set(make_lib ${CMAKE_DLLTOOL} -k -m i386 -d ${def} -l ${lib})
  else()
    set(make_lib ${CMAKE_AR} /nologo /machine:x86 /def:${def} /out:${lib})
  endif()
  add_custom_command(
    OUTPUT ${lib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/imports
    COMMAND ${make_lib}
    DEPENDS ${def}
    COMMENT "Import library from ${stem}.def")
  list(APPEND IMPORT_LIBS ${lib})
endforeach()
add_custom_target(import_libs DEPENDS ${IMPORT_LIBS})

include(${CMAKE_CURRENT_LIST_DIR}/VersionResource.cmake)

# Compiled once, linked twice: the module, and the same objects linked at
# another base, which the PE check compares with the module relocated there.
# These compilers emit a call to memset for a zero-filled local array of
# any size (the user-hive sweeps' 260-character buffers); the C runtime is
# not there to answer it, so the module brings its own.
add_library(InstTMMod_objects OBJECT ${PRODUCT_SOURCES}
            ${PROJECT_SOURCE_DIR}/module/fill_bytes.cpp
            ${PROJECT_SOURCE_DIR}/module/memset.cpp
            ${MODULE_VERSION_RC})
set_target_properties(InstTMMod_objects PROPERTIES MSVC_RUNTIME_LIBRARY "")
target_include_directories(InstTMMod_objects PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(InstTMMod_objects PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:
  /O1 /W4 /WX
  /GS-    # no security cookie: it lives in the C runtime
  /GR-    # no RTTI
  /Zl     # no default library names in the objects
  /Zc:threadSafeInit->)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # Freestanding: clang then treats no library function as known, so it does
  # not turn a loop into a memset or memcpy call of its own.
  target_compile_options(InstTMMod_objects PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:/clang:-ffreestanding>)
endif()

# msvc_module(TARGET DIRECTORY [LINK OPTIONS...]) links InstTMMod.dll into
# DIRECTORY from the objects above.
function(msvc_module target directory)
  add_library(${target} SHARED $<TARGET_OBJECTS:InstTMMod_objects>
              ${PROJECT_SOURCE_DIR}/module/exports_i686_msvc.def)
  add_dependencies(${target} import_libs)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME InstTMMod
    RUNTIME_OUTPUT_DIRECTORY ${directory}
    ARCHIVE_OUTPUT_DIRECTORY ${directory}
    MSVC_RUNTIME_LIBRARY "")
  target_link_options(${target} PRIVATE
    /nodefaultlib
    /entry:DllMain
    /safeseh:no
    /manifest:no
    /opt:ref
    # Hardening stated rather than left to the linker's defaults: the image
    # can be loaded at any base (ASLR) and its data is never executable
    # (DEP); /release writes the image checksum.
    /dynamicbase /nxcompat /release
    ${ARGN})
  # A reproducible image: lld-link writes a zero time stamp, as the MinGW
  # build does; link.exe knows only a time stamp made from a hash of the image.
  # lld-link also marks the image as having no structured exception handlers
  # (/noseh), which it has not; link.exe has no such switch.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_link_options(${target} PRIVATE /timestamp:0 /noseh)
  else()
    target_link_options(${target} PRIVATE /Brepro)
  endif()
  target_link_libraries(${target} PRIVATE ${IMPORT_LIBS})
endfunction()

msvc_module(InstTMMod ${CMAKE_BINARY_DIR})
msvc_module(InstTMMod_rebased ${CMAKE_BINARY_DIR}/rebased /base:${MODULE_OTHER_BASE})
