# The client on a real terminal: the server and two clients under tmux,
# typed at with send-keys and read back with capture-pane
# (terminal_test.sh). Skipped, with its reason, where tmux cannot run.
if(TARGET client AND TARGET server)
  add_test(NAME terminal_session
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/terminal_test.sh
            $<TARGET_FILE:server> $<TARGET_FILE:client>)
  set_tests_properties(terminal_session PROPERTIES
    LABELS e2e
    TIMEOUT 60
    SKIP_RETURN_CODE 77
    REQUIRED_FILES "$<TARGET_FILE:server>;$<TARGET_FILE:client>")
endif()
