# Sanitizers are opted into per build tree (TELVANE_SANITIZE) and applied
# through an interface target, never through CMAKE_CXX_FLAGS.
add_library(telvane_sanitizers INTERFACE)
if(TELVANE_SANITIZE)
  target_compile_options(telvane_sanitizers INTERFACE
    -fsanitize=${TELVANE_SANITIZE}
    -fno-omit-frame-pointer     # readable stacks in reports
    -fno-sanitize-recover=all)  # a finding fails the test instead of scrolling by
  target_link_options(telvane_sanitizers INTERFACE -fsanitize=${TELVANE_SANITIZE})
endif()
