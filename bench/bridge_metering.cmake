# The capture callback's level computation against a plain pass over the same
# samples, and GET /meters latency while a fake device delivers 48 channels
# in real time, both measured in the same run.
add_executable(bench_bridge_meters ${CMAKE_CURRENT_LIST_DIR}/bridge_meters.cpp)
target_link_libraries(bench_bridge_meters PRIVATE wf_bridge_routes Threads::Threads)
wf_warnings(bench_bridge_meters)
