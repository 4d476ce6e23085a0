# The shared store: loading the discovered topics (once per received PUBLISH)
# and appending a message, each beside a raw SQLite/JSON baseline.
add_executable(store_bench ${CMAKE_CURRENT_LIST_DIR}/store_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/TempDir.cpp)
target_include_directories(store_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(store_bench PRIVATE
  telvane_core benchmark::benchmark PkgConfig::SQLITE3 telvane_warnings)
