# loadgen: the load generator behind `make bench` (bench/run_bench.sh).
add_executable(loadgen ${CMAKE_CURRENT_LIST_DIR}/loadgen.cpp)
target_link_libraries(loadgen PRIVATE common)
