# The shared store: loading the discovered topics (once per received PUBLISH)
# and appending a message, each beside a raw SQLite/JSON baseline.
add_executable(store_bench ${CMAKE_CURRENT_LIST_DIR}/store_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/TempDir.cpp)
target_include_directories(store_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(store_bench PRIVATE
  telvane_core benchmark::benchmark PkgConfig::SQLITE3 telvane_warnings)

# A flood of new topics and an outside lock on the store, through the
# delivery on a virtual clock, beside whole-set write and decode baselines.
add_executable(hostile_bench ${CMAKE_CURRENT_LIST_DIR}/hostile_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/TempDir.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/VirtualEventLoop.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/OutsideWriter.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/MosquittoBroker.cpp)
target_include_directories(hostile_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(hostile_bench PRIVATE telvane_core PkgConfig::SQLITE3 telvane_warnings)
