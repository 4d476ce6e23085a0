# The shared store: loading the discovered topics (once per received PUBLISH)
# and appending a message, each beside a raw SQLite/JSON baseline.
add_executable(store_bench ${CMAKE_CURRENT_LIST_DIR}/store_bench.cpp)
target_link_libraries(store_bench PRIVATE telvane_core telvane_test_fixtures benchmark::benchmark telvane_warnings)

# A flood of new topics and an outside lock on the store, through the
# delivery on a virtual clock, beside whole-set write and decode baselines.
add_executable(hostile_bench ${CMAKE_CURRENT_LIST_DIR}/hostile_bench.cpp)
target_link_libraries(hostile_bench PRIVATE telvane_core telvane_test_fixtures telvane_warnings)
