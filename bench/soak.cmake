# The soak run (make soak, not part of run-benchmarks: it is no *_bench).
add_executable(soak_driver
  ${CMAKE_CURRENT_LIST_DIR}/soak/soak_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/soak/SoakPublisher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/soak/StoreReader.cpp)
target_include_directories(soak_driver PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(soak_driver PRIVATE telvane_core telvane_test_fixtures PkgConfig::SQLITE3 telvane_warnings)
