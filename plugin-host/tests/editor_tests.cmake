# Test plug-ins and end-to-end tests of the editor, state, bypass and parameter
# operations. Included from plugin-host/CMakeLists.txt once wf_test_plugin()
# and the tests folder exist.
find_package(X11 REQUIRED)

wf_test_plugin(state_probe ${CMAKE_CURRENT_LIST_DIR}/../test-plugins/state_probe.cpp)
wf_test_plugin(editor_probe ${CMAKE_CURRENT_LIST_DIR}/../test-plugins/editor_probe.cpp)
target_link_libraries(test_plugin_editor_probe PRIVATE X11::X11)

add_executable(plugin_host_editor_e2e_tests
  ${CMAKE_CURRENT_LIST_DIR}/host_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/editor_e2e_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/state_e2e_test.cpp)
target_include_directories(plugin_host_editor_e2e_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(plugin_host_editor_e2e_tests PRIVATE wf_testing GTest::gtest_main
  nlohmann_json::nlohmann_json X11::X11)
target_compile_definitions(plugin_host_editor_e2e_tests PRIVATE
  WF_TEST_PLUGIN_DIR="${WF_TEST_PLUGIN_DIR}")
wf_warnings(plugin_host_editor_e2e_tests)
add_dependencies(plugin_host_editor_e2e_tests plugin-host wf_test_plugins)
gtest_discover_tests(plugin_host_editor_e2e_tests TEST_PREFIX "plugin_host_editor_e2e."
  DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
