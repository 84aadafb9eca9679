#!/usr/bin/env bash
# The client on a real terminal: the server on a free loopback port, the
# client in a tmux pane typed at with send-keys, the screen read back with
# capture-pane. A chat line carries a clear-screen sequence: the screen must
# show it in caret notation and keep what was above it.
#   tests/terminal_test.sh <server> <client>: 0 passed, 1 failed, 77 skipped
set -u
server=$(realpath "$1") client=$(realpath "$2")
command -v tmux >/dev/null || { echo "SKIP: tmux is not installed"; exit 77; }
work=$(mktemp -d) && cd "$work" || exit 1
export TMUX_TMPDIR=$work TERM=xterm
tm() { tmux -L conf -f /dev/null "$@"; }
trap 'tm kill-server 2>/dev/null; [ -n "${pid:-}" ] && kill "$pid"; rm -rf "$work"' EXIT
fail() { echo "FAIL: $1"; tm capture-pane -p -t conf; exit 1; }
# Waits (at most 5 s) until the screen shows the line $1 in full.
shows() {
    for _ in $(seq 100); do
        tm capture-pane -p -t conf | sed 's/ *$//' | grep -Fxq -- "$1" && return 0
        sleep 0.05
    done
    fail "the screen does not show: $1"
}
type_in() { tm send-keys -t conf -l "$1" && tm send-keys -t conf Enter; }

echo alice,alice1 >accounts.csv
for _ in 1 2 3 4 5; do # a random port; another one if it was taken
    port=$((20000 + RANDOM % 40000))
    "$server" "$port" >server.log 2>&1 &
    pid=$!
    for _ in $(seq 100); do # until it listens or has gone
        if ! kill -0 "$pid" 2>/dev/null || (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then break; fi
        sleep 0.05
    done
    kill -0 "$pid" 2>/dev/null && break || pid=""
done
[ -n "$pid" ] || fail "the server did not start"

tm new-session -d -s conf -x 120 -y 40 "$client; echo exit \$?; sleep 60" 2>/dev/null ||
    { echo "SKIP: tmux cannot start here"; exit 77; }
shows "//                      THE CLIENT PROGRAM                            \\\\"
type_in "/login alice alice1 127.0.0.1 $port"
shows "STATUS: Login successful!"
type_in "/create lobby"
shows ": STATUS: Created session 'lobby' successfully!"
type_in "/msg lobby $(printf '\033[2J\033[H')hi"
shows "@lobby: [lobby] alice says: ^[[2J^[[Hhi"
shows ": STATUS: Created session 'lobby' successfully!"
type_in "/logout"
shows "STATUS: Successfully logged out from the server."
type_in "/quit"
shows ": /quit"
shows "exit 0"
echo "PASS: the client under tmux"
