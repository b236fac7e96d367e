# The hardening Debian builds its own packages with (dpkg-buildflags with hardening=+all):
# position-independent executables, stack protector and clash protection, fortified libc
# calls, read-only relocations bound at start. Sanitizer and fuzzer builds do without: their
# runtimes replace the same calls and checks.
option(FINDLARK_HARDEN "Build with Debian's hardening flags" ON)
if(FINDLARK_HARDEN AND NOT FINDLARK_SANITIZE AND NOT FINDLARK_FUZZ)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection)
  # Fortification needs the optimiser; a Debug build would only warn.
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
