# soak: connection-level chaos against the server for a while (`make soak`).
add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_link_libraries(soak PRIVATE common)
