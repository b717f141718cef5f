# Debian's hardening flags (those dpkg-buildflags gives a package built with
# hardening=+all), for every target: the daemon, its tests and its fuzzers.
# The compiler already builds position-independent executables by default.
option(RC_HARDEN "Build with Debian's hardening flags (stack protector, FORTIFY, full RELRO)" ON)
if(NOT RC_HARDEN)
  return()
endif()

include(CheckCXXCompilerFlag)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
# _FORTIFY_SOURCE checks nothing without optimisation, and glibc warns then.
add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
add_link_options(-Wl,-z,relro -Wl,-z,now)

# Further protections that Debian turns on where the target has them; each
# only when the compiler (the cross compiler too) accepts it.
set(rc_extra_flags -fstack-clash-protection)
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" rc_harden_processor)
if(rc_harden_processor MATCHES "^(x86_64|amd64)$")
  list(APPEND rc_extra_flags -fcf-protection)
elseif(rc_harden_processor MATCHES "^(aarch64|arm64)$")
  list(APPEND rc_extra_flags -mbranch-protection=standard)
endif()
foreach(flag IN LISTS rc_extra_flags)
  string(MAKE_C_IDENTIFIER "RC_HAVE${flag}" rc_flag_var)
  check_cxx_compiler_flag(${flag} ${rc_flag_var})
  if(${rc_flag_var})
    add_compile_options(${flag})
  endif()
endforeach()
