# SPDX-License-Identifier: MIT
# The hardening that Debian's dpkg-buildflags gives a package, for every build
# with GCC or Clang on an ELF system, each flag added only where the toolchain
# takes it and, for _FORTIFY_SOURCE, does not define it already:
#   compiling: -fstack-protector-strong, and -D_FORTIFY_SOURCE=2 in the
#              optimised configurations (glibc warns about it without -O);
#   linking:   full RELRO (-z relro -z now), position-independent executables
#              (every object compiled with -fPIE).
# Sanitizer and fuzz builds keep their own instrumentation, and Windows and
# Apple toolchains their own defaults, so they are left as they are; so is
# WebAssembly (the web page), which is no ELF system and has no stack guard.
#
# Sets recwavHardened, and recwavStaticPie when the linker can make a static
# position-independent executable.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)
include(CheckPIESupported)

set(recwavHardened OFF)
set(recwavStaticPie OFF)
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" OR WIN32 OR APPLE OR EMSCRIPTEN OR RECWAV_SANITIZE OR RECWAV_FUZZ)
    return()
endif()
set(recwavHardened ON)

check_cxx_compiler_flag(-fstack-protector-strong recwavHaveStackProtector)
if(recwavHaveStackProtector)
    add_compile_options(-fstack-protector-strong)
endif()

# Some compilers (Ubuntu's) and packagers' CXXFLAGS (dpkg-buildflags) define
# it already; defining it twice with another level is a warning.
set(CMAKE_REQUIRED_FLAGS -O2)
check_cxx_source_compiles("
#ifdef _FORTIFY_SOURCE
#error already defined
#endif
int main() { return 0; }" recwavFortifyUndefined)
unset(CMAKE_REQUIRED_FLAGS)
if(recwavFortifyUndefined)
    add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()

check_linker_flag(CXX "LINKER:-z,relro,-z,now" recwavHaveRelroNow)
if(recwavHaveRelroNow)
    add_link_options(LINKER:-z,relro,-z,now)
endif()

# Every object position-independent, the libraries too, so that any of them
# links into a PIE, static or not. -fPIE rather than the -fPIC of CMake's
# POSITION_INDEPENDENT_CODE for libraries: with -fPIC calls between the
# library's own functions go through the PLT and are not inlined, which cost
# the ADPCM decoder 2 % more instructions.
add_compile_options(-fPIE)
check_pie_supported(OUTPUT_VARIABLE pieOutput LANGUAGES CXX)
set(CMAKE_REQUIRED_FLAGS -fPIE)
check_linker_flag(CXX -static-pie recwavCanLinkStaticPie)
unset(CMAKE_REQUIRED_FLAGS)
if(recwavCanLinkStaticPie)
    set(recwavStaticPie ON)
endif()
