# Start-up to the window shown and resident memory of telvane, each against
# a bare Qt window measured in the same run. Telvane runs inside
# telvane-window-harness: its shipped start-up (TelvaneApp::run) with the
# first-paint probe the shipped program has no option for. The harness also
# renders the pictures of the docs (scripts/screenshot*).
if(TARGET telvane)
  add_executable(app_empty_window app/EmptyWindow.cpp)
  target_link_libraries(app_empty_window PRIVATE Qt6::Widgets telvane_warnings)

  add_executable(telvane_window_harness app/WindowHarness.cpp)
  set_target_properties(telvane_window_harness PROPERTIES OUTPUT_NAME telvane-window-harness)
  # The same icon as telvane's (src/app/CMakeLists.txt).
  qt_add_resources(telvane_window_harness harness_icons
    PREFIX /icons
    BASE ${PROJECT_SOURCE_DIR}/data/icons
    FILES ${PROJECT_SOURCE_DIR}/data/icons/telvane.svg)
  target_link_libraries(telvane_window_harness PRIVATE telvane_app telvane_warnings)

  add_executable(app_bench app/AppBench.cpp)
  target_link_libraries(app_bench PRIVATE telvane_core telvane_test_fixtures benchmark::benchmark telvane_warnings)
  target_compile_definitions(app_bench PRIVATE
    TELVANE_HARNESS_EXECUTABLE="$<TARGET_FILE:telvane_window_harness>"
    EMPTY_WINDOW_EXECUTABLE="$<TARGET_FILE:app_empty_window>")
  add_dependencies(app_bench telvane_window_harness app_empty_window)
endif()
