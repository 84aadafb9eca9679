# The server's TLS listener, with peers made in the test and openssl s_client.
add_executable(server_tls_tests server_tls_test.cpp)
target_link_libraries(server_tls_tests PRIVATE server_core GTest::gmock GTest::gtest_main)
gtest_discover_tests(server_tls_tests DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES)
