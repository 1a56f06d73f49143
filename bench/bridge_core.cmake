# GET /health over keep-alive connections, against nginx answering the same
# bytes, and with the access settings on against off, in the same run.
# Also times the route table in process, off against on.
add_executable(bench_bridge_health ${CMAKE_CURRENT_LIST_DIR}/bridge_health.cpp)
target_compile_definitions(bench_bridge_health PRIVATE
  WF_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
target_link_libraries(bench_bridge_health PRIVATE wf_bridge_routes Threads::Threads)
wf_warnings(bench_bridge_health)
add_dependencies(bench_bridge_health audio-bridge)
