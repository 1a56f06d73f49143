# audio-bridge program encoder: feed fan-out throughput and status latency.
add_executable(bench_bridge_encoder ${CMAKE_CURRENT_LIST_DIR}/bridge_encoder.cpp)
target_compile_definitions(bench_bridge_encoder PRIVATE
  WF_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
target_link_libraries(bench_bridge_encoder PRIVATE Threads::Threads)
wf_warnings(bench_bridge_encoder)
add_dependencies(bench_bridge_encoder audio-bridge)
