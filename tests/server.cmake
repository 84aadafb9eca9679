add_executable(server_tests server_commands_test.cpp server_registry_test.cpp server_loader_test.cpp)
target_link_libraries(server_tests PRIVATE server_core GTest::gtest_main)
gtest_discover_tests(server_tests DISCOVERY_MODE PRE_TEST)

add_executable(server_e2e_tests server_e2e_test.cpp)
target_link_libraries(server_e2e_tests PRIVATE server_core GTest::gtest_main)
target_compile_definitions(server_e2e_tests PRIVATE SERVER_PATH="$<TARGET_FILE:server>")
add_dependencies(server_e2e_tests server)
gtest_discover_tests(server_e2e_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS e2e TIMEOUT 120)
