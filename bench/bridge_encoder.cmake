# audio-bridge program encoder: feed fan-out throughput and status latency.
add_executable(bench_bridge_encoder ${CMAKE_CURRENT_LIST_DIR}/bridge_encoder.cpp)
target_compile_definitions(bench_bridge_encoder PRIVATE
  WF_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
target_link_libraries(bench_bridge_encoder PRIVATE Threads::Threads)
wf_warnings(bench_bridge_encoder)
add_dependencies(bench_bridge_encoder audio-bridge)

# The bridge under a live front end's load for minutes (on demand, not in CI):
# real ffmpeg outputs to a private nginx-rtmp, a metered private sound
# server, restarts; checks bytes, recordings, RSS and descriptors. It uses the
# tests' peer helpers, which a build without the tests does not make.
if(NOT TARGET wf_testing)
  find_package(GTest REQUIRED)
  add_subdirectory(${PROJECT_SOURCE_DIR}/testing ${CMAKE_BINARY_DIR}/bench-testing)
endif()
add_executable(soak_bridge ${CMAKE_CURRENT_LIST_DIR}/soak_bridge.cpp)
target_link_libraries(soak_bridge PRIVATE wf_testing)
wf_warnings(soak_bridge)
add_dependencies(soak_bridge audio-bridge)
