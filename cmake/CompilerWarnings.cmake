# Warning flags live on an interface target that every project target links
# PRIVATE, so third-party headers and consumers are not affected.
add_library(telvane_warnings INTERFACE)
target_compile_options(telvane_warnings INTERFACE
  -Wall                 # the common set
  -Wextra               # unused parameters, sign comparisons and friends
  -Wpedantic            # no GNU extensions slipping into portable code
  -Wshadow              # a local hiding a member has bitten us in callbacks
  -Wconversion          # byte-level codec: narrowing must be spelled out
  -Wsign-conversion     # same, for size_t <-> int mixes
  -Wnon-virtual-dtor    # interfaces are deleted through base pointers
  -Wold-style-cast      # casts should say which kind they are
  -Woverloaded-virtual  # a mistyped override should not compile silently
  -Wimplicit-fallthrough
)
if(TELVANE_WARNINGS_AS_ERRORS)
  target_compile_options(telvane_warnings INTERFACE -Werror)
endif()

# The hardening Debian expects of a packaged program; on the same target so
# that every project target gets it. Fortification needs an optimised build.
target_compile_options(telvane_warnings INTERFACE
  -fstack-protector-strong                                   # stack smashing ends the process
  $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>  # checked libc string and memory calls
)
target_link_options(telvane_warnings INTERFACE
  -Wl,-z,relro -Wl,-z,now  # the relocation tables are read-only once loaded
)
