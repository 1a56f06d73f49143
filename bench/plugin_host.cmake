# plugin-host: round trips of "process" lines through the built program against
# parsing and serialising the same lines in-process, with the JSON library and
# with the program's own sample codec.
if(TARGET plugin-host AND TARGET test_plugin_gain)
  find_package(nlohmann_json 3.11 REQUIRED)
  add_executable(bench_plugin_host ${CMAKE_CURRENT_LIST_DIR}/plugin_host_roundtrip.cpp)
  target_link_libraries(bench_plugin_host PRIVATE wf_plugin_host_core Threads::Threads)
  target_compile_definitions(bench_plugin_host PRIVATE
    WF_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
    WF_TEST_PLUGIN_DIR="${WF_TEST_PLUGIN_DIR}")
  add_dependencies(bench_plugin_host plugin-host test_plugin_gain)
  wf_warnings(bench_plugin_host)
endif()
