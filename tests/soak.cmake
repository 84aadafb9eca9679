# A 10-second soak of the server built alongside (bench/soak.cpp).
add_test(NAME soak_10s COMMAND soak --duration 10 --server $<TARGET_FILE:server>)
set_tests_properties(soak_10s PROPERTIES LABELS soak TIMEOUT 60)
