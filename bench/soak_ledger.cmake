# The soak's judge (what the soak chain must answer, and the ledger of
# requests in flight): a library of its own so that its unit tests run with
# the other tests while the soak itself runs on demand.
find_package(nlohmann_json 3.11 REQUIRED)
add_library(wf_soak_ledger STATIC ${CMAKE_CURRENT_LIST_DIR}/soak_ledger.cpp)
target_include_directories(wf_soak_ledger PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(wf_soak_ledger PUBLIC nlohmann_json::nlohmann_json)
wf_warnings(wf_soak_ledger)

if(WF_TESTS)
  add_executable(soak_ledger_tests ${CMAKE_CURRENT_LIST_DIR}/soak_ledger_test.cpp)
  target_link_libraries(soak_ledger_tests PRIVATE wf_soak_ledger GTest::gtest_main)
  wf_warnings(soak_ledger_tests)
  gtest_discover_tests(soak_ledger_tests TEST_PREFIX "soak." DISCOVERY_TIMEOUT 60)
endif()
