# telvane_add_test(<name> SOURCES <files...> [LIBS <targets...>] [SESSION_BUS]
#                  [LABELS <labels...>] [TIMEOUT <seconds>])
#
# Builds one GoogleTest executable and registers it with ctest. SESSION_BUS
# runs the executable under its own dbus-run-session, so tests that count
# D-Bus signals never see another test's traffic.
function(telvane_add_test name)
  cmake_parse_arguments(T "SESSION_BUS" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} telvane_test_support
    GTest::gmock GTest::gtest_main telvane_warnings telvane_sanitizers)
  _telvane_links_qt(uses_qt ${T_LIBS})
  telvane_precompile_test(${name} ${uses_qt})
  if(T_SESSION_BUS)
    find_program(DBUS_RUN_SESSION dbus-run-session REQUIRED)
    add_test(NAME ${name} COMMAND ${DBUS_RUN_SESSION} -- $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# Whether any of the given targets brings Qt's compile flags (a Qt6:: target
# among them or their public dependencies).
function(_telvane_links_qt out)
  set(queue ${ARGN})
  set(seen "")
  while(queue)
    list(POP_FRONT queue lib)
    if(lib MATCHES "^Qt6::")
      set(${out} ON PARENT_SCOPE)
      return()
    endif()
    if(lib IN_LIST seen OR NOT TARGET ${lib})
      continue()
    endif()
    list(APPEND seen ${lib})
    get_target_property(deps ${lib} INTERFACE_LINK_LIBRARIES)
    if(deps)
      list(APPEND queue ${deps})
    endif()
  endwhile()
  set(${out} OFF PARENT_SCOPE)
endfunction()
