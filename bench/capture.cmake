# audio-capture: the CPU cost of the endless test stream, and the capture
# writer's throughput into a pipe against a plain write loop.
add_executable(bench_capture_writer ${CMAKE_CURRENT_LIST_DIR}/capture_writer.cpp)
target_link_libraries(bench_capture_writer PRIVATE wf_capture Threads::Threads)
wf_warnings(bench_capture_writer)

add_executable(bench_capture_test_stream ${CMAKE_CURRENT_LIST_DIR}/capture_test_stream.cpp)
target_link_libraries(bench_capture_test_stream PRIVATE Threads::Threads)
target_compile_definitions(bench_capture_test_stream PRIVATE
  AUDIO_CAPTURE_PATH="$<TARGET_FILE:audio-capture>")
add_dependencies(bench_capture_test_stream audio-capture)
wf_warnings(bench_capture_test_stream)
