# The kept history at its worst: the store's size with 50 items, the
# trimming pass, and telvane-widget --history against the plain --once.
add_executable(history_bench ${CMAKE_CURRENT_LIST_DIR}/history_bench.cpp)
target_link_libraries(history_bench PRIVATE telvane_core telvane_test_fixtures telvane_warnings)
target_compile_definitions(history_bench PRIVATE TELVANE_WIDGET_EXECUTABLE="$<TARGET_FILE:telvane-widget>")
add_dependencies(history_bench telvane-widget)
