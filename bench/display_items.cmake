# The box "Anzeige-Elemente" with a 10,000-path payload: choosing its topic
# and the one-second refresh tick, beside a parse baseline and a tick with no
# topic chosen.
if(TARGET telvane_gui)
  add_executable(display_items_bench ${CMAKE_CURRENT_LIST_DIR}/display_items_bench.cpp)
  target_link_libraries(display_items_bench PRIVATE
    telvane_gui telvane_test_fixtures Qt6::Test benchmark::benchmark telvane_warnings)
  set_target_properties(display_items_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
