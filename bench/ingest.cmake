# Ingest throughput of the MQTT client (real transport, receive path and
# store) against mosquitto_sub, fed by our packet streamer or a real broker.
add_executable(packet_streamer ${CMAKE_CURRENT_LIST_DIR}/packet_streamer.cpp)
target_link_libraries(packet_streamer PRIVATE telvane_warnings)

# The mosquitto fixture is shared with the tests.
add_executable(ingest_bench ${CMAKE_CURRENT_LIST_DIR}/ingest_bench.cpp)
target_link_libraries(ingest_bench PRIVATE telvane_core telvane_test_fixtures telvane_warnings)
target_compile_definitions(ingest_bench PRIVATE PACKET_STREAMER_EXECUTABLE="$<TARGET_FILE:packet_streamer>")
add_dependencies(ingest_bench packet_streamer)
