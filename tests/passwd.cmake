# conference-passwd's logic in the test's own process, on account files in
# temporary folders.
if(TARGET passwd_core)
  add_executable(passwd_tests passwd_test.cpp)
  target_link_libraries(passwd_tests PRIVATE passwd_core GTest::gmock GTest::gtest_main)
  gtest_discover_tests(passwd_tests TEST_PREFIX "passwd." NO_PRETTY_VALUES)
endif()
