# Start-up to the window shown and resident memory of the real telvane
# executable, each against a bare Qt window measured in the same run.
if(TARGET telvane)
  find_package(Qt6 REQUIRED COMPONENTS Widgets)

  add_executable(app_empty_window app/EmptyWindow.cpp)
  target_link_libraries(app_empty_window PRIVATE Qt6::Widgets telvane_warnings)

  add_executable(app_bench app/AppBench.cpp)
  target_link_libraries(app_bench PRIVATE telvane_core benchmark::benchmark telvane_warnings)
  target_compile_definitions(app_bench PRIVATE
    TELVANE_EXECUTABLE="$<TARGET_FILE:telvane>"
    EMPTY_WINDOW_EXECUTABLE="$<TARGET_FILE:app_empty_window>")
  add_dependencies(app_bench telvane app_empty_window)
endif()
