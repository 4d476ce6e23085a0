# The soak run (make soak, not part of run-benchmarks: it is no *_bench).
add_executable(soak_driver
  ${CMAKE_CURRENT_LIST_DIR}/soak/soak_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/soak/SoakPublisher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/soak/StoreReader.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/MosquittoBroker.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/TempDir.cpp)
target_include_directories(soak_driver PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(soak_driver PRIVATE telvane_core PkgConfig::SQLITE3 telvane_warnings)
