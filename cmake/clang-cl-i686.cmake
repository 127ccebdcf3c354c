# Cross-build of the 32-bit module with the MSVC toolchain family on Linux:
# clang-cl for the MSVC ABI and name decoration, lld-link as the linker,
# llvm-dlltool for the import libraries. No Windows SDK and no MSVC runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER clang-cl-14)
set(CMAKE_CXX_COMPILER clang-cl-14)
set(CMAKE_C_COMPILER_TARGET i686-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET i686-pc-windows-msvc)
# lld-link 16, not 14: version 14 writes an export ordinal base of 0 with an
# empty slot in front of ordinal 1, so the table would hold five functions
# instead of the four at ordinals 1 to 4 that installer packages rely on.
set(CMAKE_LINKER lld-link-16)
set(CMAKE_AR llvm-lib-14)
set(CMAKE_RC_COMPILER llvm-rc-14)
set(CMAKE_MT llvm-mt-14)
set(CMAKE_DLLTOOL llvm-dlltool-14)

# There is no runtime to link a test program against: the compiler checks
# build a static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
