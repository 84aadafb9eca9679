#!/usr/bin/env bash
# The client on a real terminal: the server on a free loopback port, the
# client in a tmux pane typed at with send-keys, the screen read back with
# capture-pane, and bob, a raw protocol member on a bash socket. A line bob
# sends while alice types goes above her half-typed line, in caret notation
# (it carries a clear-screen sequence); history, completion (of a name found
# taken, never of one with control bytes), long lines wrapped by the client
# so that blanks cannot make a row pass for a line, history kept for the next run
# (never a /login line), Ctrl-D and Ctrl-C, which leave the
# terminal's modes as they were, and a terminal that hangs up.
#   tests/terminal_test.sh <server> <client> <1 if it has line editing>
# exits 0 passed, 1 failed, 77 skipped.
set -u
server=$(realpath "$1") client=$(realpath "$2")
[ "${3:-}" = 1 ] || { echo "SKIP: the client is built without line editing"; exit 77; }
command -v tmux >/dev/null || { echo "SKIP: tmux is not installed"; exit 77; }
work=$(mktemp -d) && cd "$work" || exit 1
export TMUX_TMPDIR=$work TERM=xterm XDG_STATE_HOME=$work/state
tm() { tmux -L conf -f /dev/null "$@"; }
trap 'tm kill-server 2>/dev/null; [ -n "${pid:-}" ] && kill "$pid"; rm -rf "$work"' EXIT
fail() { echo "FAIL: $1"; tm capture-pane -p -t conf; exit 1; }
screen() { tm capture-pane -pJ -t "${where:-conf}" | sed 's/ *$//' | grep -v '^$'; }
# Waits (at most 5 s) until the screen, on the standard input of "$@", passes.
holds() {
    for _ in $(seq 100); do
        screen | "$@" && return 0
        sleep 0.05
    done
    fail "the screen does not hold: $*"
}
lines() { [ "$(tail -n "$#")" = "$(printf '%s\n' "$@")" ]; } # its last lines are "$@"
shows() { holds grep -Fxq -- "$1"; }                          # a line in full
keys() { tm send-keys -t conf "$@"; }
type_in() { keys -l "$1" && keys Enter; }
# bob's next message, which must be $1.
bob_gets() { IFS= read -r -d '' -t 5 msg <&3 && [ "$msg" = "$1" ] || fail "bob got '${msg:-}', not '$1'"; }

printf 'alice,alice1\nbob,bob123\n' >accounts.csv
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

# Two runs: the trap lets the second outlive Ctrl-C, which the client does not.
run="stty -g >modes; $client; echo exit \$?; stty -g | cmp -s - modes && echo modes kept"
tm new-session -d -s conf -x 120 -y 40 "bash -c 'trap : INT; $run 1; $run 2; sleep 60'" 2>/dev/null ||
    { echo "SKIP: tmux cannot start here"; exit 77; }
shows "//                      THE CLIENT PROGRAM                            \\\\"
holds lines ":" # the editor's prompt: keys typed from now on are its
type_in "/login alice alice1 127.0.0.1 $port"
shows "STATUS: Login successful!"
type_in "/create lobby"
shows "STATUS: Created session 'lobby' successfully!"
keys -l "/msg lo" && keys Tab && holds lines ": /msg lobby" # a name this client created
exec 3<>"/dev/tcp/127.0.0.1/$port" || fail "bob cannot connect"
printf 'LOGIN#bob#bob123\0JOIN#lobby\0' >&3
bob_gets LG_ACK && bob_gets "JOIN_ACK#lobby"
type_in "hi"
bob_gets "[lobby] alice says: hi"

half="$(printf %142s | tr ' ' .) this is half a li" # 168 columns, on 2 rows of 120, not 3 of 80
keys -l "$half"
holds lines "[lobby] alice says: hi" "@lobby: $half"
printf 'MSG#lobby#\033[2J\033[Hinterrupting you\0' >&3
holds lines "[lobby] alice says: hi" "[lobby] bob says: ^[[2J^[[Hinterrupting you" "@lobby: $half"
shows "[lobby] bob has joined the session." # nothing was cleared
type_in "ne"
bob_gets "[lobby] bob says: "$'\e[2J\e[H'"interrupting you"
bob_gets "[lobby] alice says: ${half}ne"

wrapped=("[lobby] alice says: ${half:0:100}" "| ${half:100}ne") # 190 columns: the client wraps
keys Up
holds lines "${wrapped[@]}" "@lobby: ${half}ne"
keys Up Up Up Up # the oldest line kept; the /login line never was
holds lines "${wrapped[@]}" "@lobby: /create lobby"
keys C-u
printf 'NEWCONF#zoo\0NEWCONF#yardsticks\0NEWCONF#l\033[2J\0' >&3 # the last a name no one can type
bob_gets NEWCONF_ACK#zoo && bob_gets NEWCONF_ACK#yardsticks && bob_gets "NEWCONF_ACK#l"$'\e[2J'
type_in "/create zoo" && shows "ERROR: Couldn't create session 'zoo' because that session already exists."
keys -l "/join z" && keys Tab && holds lines "@lobby: /join zoo" && keys C-u # a name found taken
type_in "/qry"
shows "        USER: bob - SESSIONS: lobby zoo yardsticks l^[[2J"
keys -l "/join y" && keys Tab && holds lines "@lobby: /join yardsticks" && keys C-u # seen listed, 10 long
keys -l "/jo" && keys Tab && keys -l "l" && keys Tab && holds lines "@lobby: /join lobby" # only lobby
keys Enter && shows "You are already part of session 'lobby'!"
# Blanks up to the width cannot make a row that passes for alice's line.
printf 'MSG#lobby#ok%100s[lobby] alice says: forged\0' '' >&3
bob_gets "[lobby] bob says: ok$(printf %100s)[lobby] alice says: forged"
holds lines "[lobby] bob says: ok" "| [lobby] alice says: forged" "@lobby:"
tm capture-pane -p -t conf | grep -q '^\[lobby\] alice says: forged' && fail "a forged row"

keys C-d && shows "STATUS: Successfully logged out from the server."
shows "exit 0" && shows "modes kept 1"
holds lines ":" && keys Up && holds lines ": /join lobby" && keys C-u # kept from the first run
[ "$(stat -c %a state/conference/history)" = 600 ] && ! grep -q login state/conference/history ||
    fail "the history file: $(ls -l state/conference; cat state/conference/history)"
keys -l "half" && keys C-c && shows "modes kept 2"

# A terminal that hangs up on a client that ignores SIGHUP ends that client all the same.
tm new-window -d -n hup "trap '' HUP; echo \$\$ >hup.pid; exec $client"
where=conf:hup holds lines ":"
tm kill-window -t conf:hup
timeout 5 tail -s 0.05 --pid="$(cat hup.pid)" -f /dev/null || { kill "$(cat hup.pid)"; fail "it runs on"; }
echo "PASS: the client under tmux"
