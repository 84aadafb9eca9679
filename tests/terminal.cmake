# The client on a real terminal under tmux; skipped where tmux cannot run or
# the client is built without line editing.
if(TARGET client AND TARGET server)
  add_test(NAME terminal_session COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/terminal_test.sh
    $<TARGET_FILE:server> $<TARGET_FILE:client> $<TARGET_PROPERTY:client,LINE_EDITING>)
  set_tests_properties(terminal_session PROPERTIES LABELS e2e TIMEOUT 60 SKIP_RETURN_CODE 77)
endif()
