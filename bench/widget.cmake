# telvane-widget: --once against the sqlite3 shell, --follow under a storm
# of reload signals, and the window's resident memory against a bare Qt
# window; each figure with its baseline from the same run.
if(TARGET telvane-widget-window AND TARGET app_empty_window)
  add_executable(widget_bench ${CMAKE_CURRENT_LIST_DIR}/widget/WidgetBench.cpp)
  target_link_libraries(widget_bench PRIVATE telvane_core PkgConfig::LIBSYSTEMD telvane_warnings)
  target_compile_definitions(widget_bench PRIVATE
    TELVANE_WIDGET_EXECUTABLE="$<TARGET_FILE:telvane-widget>"
    EMPTY_WINDOW_EXECUTABLE="$<TARGET_FILE:app_empty_window>")
  set_target_properties(widget_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(widget_bench telvane-widget telvane-widget-window app_empty_window)
endif()
