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
