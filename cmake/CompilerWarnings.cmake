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
  -Wsuggest-override    # an override without the keyword breaks silently when the base changes
  -Wimplicit-fallthrough
  -Wformat=2            # printf-style calls (fuzz reports, diagnostics) checked, formats not from data
  -Wdouble-promotion    # a float silently widened is a precision or speed slip
  -Wcast-align          # casting to a stricter alignment is undefined behaviour on some targets
)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(telvane_warnings INTERFACE
    -Wduplicated-cond   # the same condition in an if/else-if chain: a copy-paste slip
    -Wlogical-op        # && or || with operands that make it constant or redundant
  )
endif()
if(TELVANE_WARNINGS_AS_ERRORS)
  target_compile_options(telvane_warnings INTERFACE -Werror)
endif()
