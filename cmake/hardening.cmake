# Hardening: what Debian's dpkg-buildflags gives with hardening=+all, for
# every target of a Linux build, so that the tests run the code as it is
# packaged. Written out here rather than read from dpkg-buildflags: Debian
# 12's dpkg gives neither stack clash nor control-flow protection, it brings
# its own -O2 -g over the build type, and a machine without dpkg-dev would
# build something else without a word.
#
# Off by default where it does not belong: the Windows build (mingw's linker
# already marks the .exe for ASLR and DEP; the rest is for ELF), and the
# fuzzers, which like the sanitizer build (scripts/sanitize.cmake) want the
# sanitizers' own checks, not the C library's.
if(WIN32 OR TKVCERT_BUILD_FUZZERS)
  set(tkv_hardening_default OFF)
else()
  set(tkv_hardening_default ON)
endif()
option(TKVCERT_HARDENING "Build with the hardening flags of Debian's hardening=+all" ${tkv_hardening_default})
if(NOT TKVCERT_HARDENING)
  return()
endif()

include(CheckCXXCompilerFlag)
include(CheckPIESupported)

check_pie_supported(OUTPUT_VARIABLE tkv_pie_output LANGUAGES C CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  message(FATAL_ERROR "TKVCERT_HARDENING: the linker cannot make a PIE: ${tkv_pie_output}")
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

set(tkv_hardening_flags -fstack-protector-strong)
# Each architecture has its own control-flow protection (x86: CET); a flag
# the compiler does not have for this one is left out.
foreach(flag -fstack-clash-protection -fcf-protection -mbranch-protection=standard)
  string(MAKE_C_IDENTIFIER "TKV_HAS${flag}" has_flag)
  check_cxx_compiler_flag(${flag} ${has_flag})
  if(${has_flag})
    list(APPEND tkv_hardening_flags ${flag})
  endif()
endforeach()
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${tkv_hardening_flags}>")
# The C library's checked functions exist only where the compiler optimises:
# by the build type's flags, or, for a type without any (Arch's "None"), by
# the builder's own. A level those flags set already (Arch's 3) stays theirs.
set(tkv_builder_flags "${CMAKE_CXX_FLAGS} $ENV{CPPFLAGS}")
if(NOT tkv_builder_flags MATCHES "_FORTIFY_SOURCE")
  if(tkv_builder_flags MATCHES "(^| )-O([1-3sz]|fast)?( |$)")
    add_compile_options("$<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<NOT:$<CONFIG:Debug>>>:-D_FORTIFY_SOURCE=2>")
  else()
    add_compile_options(
      "$<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<CONFIG:Release,RelWithDebInfo,MinSizeRel>>:-D_FORTIFY_SOURCE=2>")
  endif()
endif()
add_link_options(LINKER:-z,relro,-z,now)
