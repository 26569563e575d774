# Hardened as Debian builds its packages (dpkg-buildflags): a tool that
# handles passwords and is run by root in shared folders. Fortified functions
# need the optimiser, and the sanitizers bring their own checks.
include(CheckCXXCompilerFlag)
if(ZODEVIR_HARDEN AND NOT WIN32 AND NOT ZODEVIR_SANITIZE)
  target_compile_options(zodevir_lean INTERFACE -fstack-protector-strong -fstack-clash-protection
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
  check_cxx_compiler_flag(-fcf-protection have_cf_protection)
  if(have_cf_protection)
    target_compile_options(zodevir_lean INTERFACE -fcf-protection)
  endif()
  target_link_options(zodevir_lean INTERFACE LINKER:-z,relro,-z,now)
endif()
