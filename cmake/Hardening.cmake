# The hardening Debian expects of a packaged program, on an interface target
# of its own that the shipped libraries and programs link PRIVATE. Sanitizer
# trees leave it out: fortified libc calls bypass AddressSanitizer's
# interceptors, and nothing from those trees is shipped.
add_library(telvane_hardening INTERFACE)
if(NOT TELVANE_SANITIZE AND NOT TELVANE_BUILD_FUZZ)
  target_compile_options(telvane_hardening INTERFACE
    # A smashed stack canary ends the process instead of returning into data.
    -fstack-protector-strong
    # Checked libc string and memory calls; the checks need an optimised build.
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>
  )
  target_link_options(telvane_hardening INTERFACE
    LINKER:-z,relro  # relocations are read-only once the program is loaded
    LINKER:-z,now    # ... all of them, because every symbol is bound at start
  )
endif()
