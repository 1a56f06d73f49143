# plugin-host: round trips of "process" lines through the built program against
# parsing and serialising the same lines in-process, with the JSON library and
# with the program's own sample codec; and the program's cost at rest, with no
# editor and with the test editor open on a private X server. And the soak: a
# long run of blocks and parameter changes through a chain of eight test
# effects, every reply checked exactly, the host's memory and descriptors
# sampled.
find_package(nlohmann_json 3.11 REQUIRED)
add_executable(bench_plugin_host ${CMAKE_CURRENT_LIST_DIR}/plugin_host_roundtrip.cpp)
target_link_libraries(bench_plugin_host PRIVATE wf_plugin_host_core Threads::Threads)
target_compile_definitions(bench_plugin_host PRIVATE
  WF_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
  WF_TEST_PLUGIN_DIR="${WF_TEST_PLUGIN_DIR}")
target_include_directories(bench_plugin_host PRIVATE ${PROJECT_SOURCE_DIR})
add_dependencies(bench_plugin_host plugin-host test_plugin_gain)
wf_warnings(bench_plugin_host)

# The editor test plug-in is otherwise built only with the tests.
if(NOT TARGET test_plugin_editor_probe)
  find_package(X11 REQUIRED)
  wf_test_plugin(editor_probe ${PROJECT_SOURCE_DIR}/plugin-host/test-plugins/editor_probe.cpp)
  target_link_libraries(test_plugin_editor_probe PRIVATE X11::X11)
endif()
add_executable(bench_plugin_host_idle ${CMAKE_CURRENT_LIST_DIR}/plugin_host_idle.cpp)
target_link_libraries(bench_plugin_host_idle PRIVATE nlohmann_json::nlohmann_json)
target_compile_definitions(bench_plugin_host_idle PRIVATE
  WF_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
  WF_TEST_PLUGIN_DIR="${WF_TEST_PLUGIN_DIR}")
target_include_directories(bench_plugin_host_idle PRIVATE ${PROJECT_SOURCE_DIR})
add_dependencies(bench_plugin_host_idle plugin-host test_plugin_editor_probe)
wf_warnings(bench_plugin_host_idle)

add_executable(soak_plugin_host ${CMAKE_CURRENT_LIST_DIR}/soak_plugin_host.cpp)
target_link_libraries(soak_plugin_host PRIVATE wf_soak_ledger)
target_compile_definitions(soak_plugin_host PRIVATE
  WF_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
  WF_TEST_PLUGIN_DIR="${WF_TEST_PLUGIN_DIR}")
add_dependencies(soak_plugin_host plugin-host test_plugin_gain test_plugin_latency)
wf_warnings(soak_plugin_host)
