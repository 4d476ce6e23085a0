# The settings window: opening the topic picker over many discovered topics
# and the one-second refresh tick, beside store-load and sort baselines.
if(TARGET telvane_gui)
  add_executable(picker_bench ${CMAKE_CURRENT_LIST_DIR}/picker_bench.cpp)
  target_link_libraries(picker_bench PRIVATE
    telvane_gui telvane_test_fixtures Qt6::Test benchmark::benchmark telvane_warnings)
  set_target_properties(picker_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()

# A 20 MB payload on a configured topic with the window shown: the tick that
# shows it, later ticks and resizes, and peak memory, beside a 100-byte payload.
if(TARGET telvane_gui)
  add_executable(payload_bench ${CMAKE_CURRENT_LIST_DIR}/payload_bench.cpp)
  target_link_libraries(payload_bench PRIVATE telvane_gui telvane_test_fixtures Qt6::Test telvane_warnings)
  set_target_properties(payload_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
