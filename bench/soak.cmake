# soak: runs the server under random valid and invalid traffic for a while
# and checks every reply and relayed line against a model.
add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_link_libraries(soak PRIVATE common)
