# Hardening of everything built (the programs and the libraries they link), with both toolchains: a canary in
# every function with an array or an address taken, and the C library's checked string and memory functions.
# Natively also a read-only relocation table bound at start (full RELRO), stack-clash probes and control-flow
# protection. Not in the sanitizer and fuzz trees: they instrument the same faults their own way.
option(UPDATER_HARDEN "Build with the stack protector and the checked C library functions" ON)
if(NOT UPDATER_HARDEN OR UPDATER_SANITIZE OR UPDATER_BUILD_FUZZERS)
  return()
endif()

add_compile_options(-fstack-protector-strong)
# The checked functions need optimisation (the C library warns without it): not in a Debug build. Undefined
# first, so that a compiler that sets it by default does not see it defined twice.
add_compile_options("$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
if(WIN32)
  # mingw-w64 has the canary's failure and the checked functions in libssp: the option at link time adds it
  # (-lssp_nonshared -lssp; static with the programs' -static).
  add_link_options(-fstack-protector-strong)
else()
  add_compile_options(-fstack-clash-protection -fcf-protection)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
# The programs built here are hardened: their check runs (cmake/Cli.cmake, scripts/test.sh).
set(UPDATER_HARDENED ON)
