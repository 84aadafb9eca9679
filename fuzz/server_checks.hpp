// Checks fuzz_server runs after every request: the registry's tables and
// the connections' output queues. They live in their own file, built
// without coverage feedback, so the fuzzer is guided by the server's code
// and not by these loops. Each returns nullptr, or what is wrong.
#pragma once

// Online rows contiguous and distinct, each an open connection with an
// account; every live session named uniquely, with 1..500 distinct online
// members and -1 after them; no session past active_sessions.
const char* check_registry(long& detail);

// Every queued message at most 499 characters and ended by its NUL; no
// connection left open over its output limit.
const char* check_queues(long& detail);
