# Sanitizers are opted into per build tree (TELVANE_SANITIZE) and applied
# through an interface target that every project target links PRIVATE, never
# through CMAKE_CXX_FLAGS. A fuzz tree (TELVANE_BUILD_FUZZ) is always built
# with AddressSanitizer and UndefinedBehaviorSanitizer.
add_library(telvane_sanitizers INTERFACE)
set(telvane_sanitize "${TELVANE_SANITIZE}")
if(TELVANE_BUILD_FUZZ)
  set(telvane_sanitize address,undefined)
endif()
if(telvane_sanitize)
  target_compile_options(telvane_sanitizers INTERFACE
    -fsanitize=${telvane_sanitize}
    -fno-omit-frame-pointer     # readable stacks in reports
    -fno-sanitize-recover=all)  # a finding fails the test instead of scrolling by
  target_link_options(telvane_sanitizers INTERFACE -fsanitize=${telvane_sanitize})
endif()
if(TELVANE_BUILD_FUZZ)
  # Coverage feedback for libFuzzer from every library; only the fuzz targets
  # link libFuzzer itself (-fsanitize=fuzzer), which brings its own main().
  target_compile_options(telvane_sanitizers INTERFACE -fsanitize=fuzzer-no-link)
endif()
