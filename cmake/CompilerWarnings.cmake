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
