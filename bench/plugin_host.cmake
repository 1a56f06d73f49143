# plugin-host: round trips of "process" lines through the built program against
# parsing and serialising the same lines in-process, with the JSON library and
# with the program's own sample codec; and the program's cost at rest, with no
# editor and with the test editor open on a private X server. And the soak: a
# long run of blocks and parameter changes through a chain of eight test
# effects, every reply checked exactly, the host's memory and descriptors
# sampled.
find_package(nlohmann_json 3.11 REQUIRED)

# Each of these runs the built plugin-host with test plug-ins: it is told
# where both are and depends on the program.
function(wf_plugin_host_bench name source)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${source})
  target_compile_definitions(${name} PRIVATE
    WF_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
    WF_TEST_PLUGIN_DIR="${WF_TEST_PLUGIN_DIR}")
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  add_dependencies(${name} plugin-host)
  wf_warnings(${name})
endfunction()

wf_plugin_host_bench(bench_plugin_host plugin_host_roundtrip.cpp)
target_link_libraries(bench_plugin_host PRIVATE wf_plugin_host_core Threads::Threads)
add_dependencies(bench_plugin_host test_plugin_gain)

# The editor test plug-in is otherwise built only with the tests.
if(NOT TARGET test_plugin_editor_probe)
  find_package(X11 REQUIRED)
  wf_test_plugin(editor_probe ${PROJECT_SOURCE_DIR}/plugin-host/test-plugins/editor_probe.cpp)
  target_link_libraries(test_plugin_editor_probe PRIVATE X11::X11)
endif()
wf_plugin_host_bench(bench_plugin_host_idle plugin_host_idle.cpp)
target_link_libraries(bench_plugin_host_idle PRIVATE nlohmann_json::nlohmann_json)
add_dependencies(bench_plugin_host_idle test_plugin_editor_probe)

wf_plugin_host_bench(soak_plugin_host soak_plugin_host.cpp)
target_link_libraries(soak_plugin_host PRIVATE wf_soak_ledger)
add_dependencies(soak_plugin_host test_plugin_gain test_plugin_latency)
