#!/usr/bin/env bash
# The client as a person uses it: the server runs in a scratch directory on a
# free loopback port, two clients run side by side in tmux panes, a short
# session is typed with send-keys, and after every step each screen (read
# with capture-pane) must be exactly what the person at it would see: the
# banner, the typed lines, the status lines, the prompts ": " and
# "@lobby: ", and the chat lines where they land.
#
#   tests/terminal_test.sh <server program> <client program>
#
# Exit status: 0 passed, 1 failed, 77 skipped (no tmux, or tmux cannot run).
# Every wait has a deadline; the whole run takes a few seconds.
set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 <server program> <client program>" >&2
    exit 2
fi
for prog in "$1" "$2"; do
    if [ ! -f "$prog" ] || [ ! -x "$prog" ]; then
        echo "FAIL: $prog is not a program; build it first"
        exit 1
    fi
done
# The server runs in the scratch directory: the paths must not be relative.
server=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
client=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
if ! command -v tmux >/dev/null 2>&1; then
    echo "SKIP: tmux is not installed (apt-get install tmux); the terminal test needs it"
    exit 77
fi

started=$(date +%s%3N)
work=$(mktemp -d "${TMPDIR:-/tmp}/confterm.XXXXXX")
# tmux keeps its socket here, under a name of our own: no other tmux is touched.
export TMUX_TMPDIR=$work
unset TMUX
if [ -z "${TERM:-}" ] || [ "$TERM" = dumb ]; then
    export TERM=xterm
fi
printf 'set -g remain-on-exit on\nset -g history-limit 1000\n' >"$work/tmux.conf"
tm() { tmux -L confterm -f "$work/tmux.conf" "$@"; }

server_pid=""
cleanup() {
    tm kill-server >/dev/null 2>&1
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now_ms() { date +%s%3N; }

# The screen of pane $1 as text: trailing blanks and trailing empty lines
# dropped, tmux's own "Pane is dead" line left out.
screen() {
    tm capture-pane -p -t "conf:0.$1" -S - -E - |
        grep -v '^Pane is dead' |
        sed 's/[[:space:]]*$//' |
        awk '{ line[NR] = $0 } NF { last = NR } END { for (i = 1; i <= last; i++) print line[i] }'
}

# What pane $1 should show, one array per pane; the last entry is the line
# the cursor stands on (a prompt, with its blank).
# shellcheck disable=SC2034 # filled and read through the namerefs below
declare -a expect_0 expect_1
# shellcheck disable=SC2178 # (the namerefs below are arrays)
wanted() {
    local -n lines=expect_$1
    printf '%s\n' "${lines[@]}" | sed 's/[[:space:]]*$//'
}
# Appends whole lines to pane $1's screen.
out() {
    local -n lines=expect_$1
    shift
    lines+=("$@")
}
# Continues the line the cursor stands on (what a received line or typed
# text does after the prompt).
# shellcheck disable=SC2178
cont() {
    local -n lines=expect_$1
    local last=$((${#lines[@]} - 1))
    lines[last]+=$2
}
# Types a line into pane $1: the terminal echoes it after the prompt.
type_line() {
    tm send-keys -t "conf:0.$1" -l "$2" && tm send-keys -t "conf:0.$1" Enter
    cont "$1" "$2"
}

fail() {
    echo "FAIL: $*"
    for p in 0 1; do
        echo "--- pane $p shows:"
        screen "$p" 2>/dev/null
    done
    echo "--- server log (last 40 lines):"
    tail -n 40 "$work/server.log" 2>/dev/null
    exit 1
}

# Waits (at most 5 s) until pane $1 shows exactly what it should.
settle() {
    local deadline=$(($(now_ms) + 5000))
    while [ "$(screen "$1")" != "$(wanted "$1")" ]; do
        if [ "$(now_ms)" -gt "$deadline" ]; then
            echo "FAIL: pane $1 does not show what a person should see ($2)"
            diff <(wanted "$1") <(screen "$1") | sed 's/^/    /'
            fail "pane $1 after: $2"
        fi
        sleep 0.05
    done
}

# Waits (at most 5 s) until the server's log file holds the line $1.
log_shows() {
    local deadline=$(($(now_ms) + 5000))
    until grep -Fxq -- "$1" "$work/server.log"; do
        [ "$(now_ms)" -gt "$deadline" ] && fail "the server log does not show: $1"
        sleep 0.05
    done
}

# --- the server, on the first free port found
printf 'alice,alice1\nbob,bob2\n' >"$work/accounts.csv"
port=""
for _ in 1 2 3 4 5 6 7 8 9 10; do
    candidate=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    (cd "$work" && exec "$server" "$candidate") >"$work/server.log" 2>&1 &
    server_pid=$!
    deadline=$(($(now_ms) + 3000))
    while :; do
        if ! kill -0 "$server_pid" 2>/dev/null; then
            wait "$server_pid"
            status=$?
            server_pid=""
            [ "$status" -eq 2 ] && break # port taken: try another
            fail "the server exited with status $status"
        fi
        if timeout 1 bash -c "exec 3<>/dev/tcp/127.0.0.1/$candidate" 2>/dev/null; then
            sleep 0.2
            kill -0 "$server_pid" 2>/dev/null && port=$candidate
            break
        fi
        [ "$(now_ms)" -gt "$deadline" ] && fail "the server did not start listening within 3 s"
        sleep 0.05
    done
    [ -n "$port" ] && break
done
[ -n "$port" ] || fail "no free port found for the server"

# --- two clients side by side, each in a pane 100 columns wide
# Each pane runs the client and then notes its exit status in a file (tmux's
# own pane_dead_status is not always set by the time the pane is dead).
client_in_pane() {
    printf '%q; echo $? >%q' "$client" "$work/status.$1"
}
if ! tm new-session -d -s conf -x 201 -y 60 "$(client_in_pane 0)" 2>"$work/tmux.err"; then
    echo "SKIP: tmux cannot start here: $(cat "$work/tmux.err")"
    exit 77
fi
tm split-window -h -t conf:0 "$(client_in_pane 1)" || fail "tmux cannot split the window"
tm select-layout -t conf:0 even-horizontal >/dev/null

a=0 # alice, the left pane
b=1 # bob, the right pane
# shellcheck disable=SC1003 # the banner's lines end with two backslashes
rule='//********************************************************************\\'
# shellcheck disable=SC1003
title='//                      THE CLIENT PROGRAM                            \\'
for p in $a $b; do
    out "$p" "" "$rule" "$title" "$rule" "" ": "
    settle "$p" "start-up: banner and prompt"
done

login_lines=(
    "STATUS: Connecting to the server..."
    "STATUS: Extracting server information..."
    "STATUS: Successfully connected to the server. Sending login info..."
    "STATUS: Login successful!"
)
type_line $a "/login alice alice1 127.0.0.1 $port"
out $a "${login_lines[@]}" ": "
settle $a "alice logs in"
type_line $b "/login bob bob2 127.0.0.1 $port"
out $b "${login_lines[@]}" ": "
settle $b "bob logs in"

type_line $a "/create lobby"
out $a "STATUS: Request to create session 'lobby' has been sent to the server." ": "
cont $a "STATUS: Created session 'lobby' successfully!"
out $a ": "
settle $a "alice creates lobby"

type_line $b "/join lobby"
out $b "STATUS: Request to join session 'lobby' has been sent to the server." ": "
cont $b "STATUS: Joined session 'lobby' successfully!"
out $b ": "
settle $b "bob joins lobby"
cont $a "[lobby] bob has joined the session."
out $a ": "
settle $a "alice hears that bob joined"
log_shows "User bob Joined Session lobby."

# /msg makes lobby bob's current session: his prompt shows it from now on.
type_line $b "/msg lobby hi"
out $b "@lobby: "
cont $b "[lobby] bob says: hi"
out $b "@lobby: "
settle $b "bob says hi"
cont $a "[lobby] bob says: hi"
out $a ": "
settle $a "alice reads hi"
log_shows "$(printf 'lobby\thi\t0\t1\tbob')"

# Alice has no current session yet: a plain line is refused.
type_line $a "hello"
out $a "ERROR: Invalid command!" ": "
settle $a "alice's plain line without a current session"

type_line $a "/msg lobby hi bob"
out $a "@lobby: "
cont $a "[lobby] alice says: hi bob"
out $a "@lobby: "
settle $a "alice answers with /msg"
cont $b "[lobby] alice says: hi bob"
out $b "@lobby: "
settle $b "bob reads alice's line"

# A plain line goes to the current session.
type_line $b "how are you?"
out $b "@lobby: "
cont $b "[lobby] bob says: how are you?"
out $b "@lobby: "
settle $b "bob's plain line"
cont $a "[lobby] bob says: how are you?"
out $a "@lobby: "
settle $a "alice reads bob's plain line"

type_line $a "/qry"
out $a "STATUS: Query request sent successfully." "@lobby: "
cont $a "STATUS: QRY -"
out $a "        USER: alice - SESSIONS: lobby" "        USER: bob - SESSIONS: lobby" "@lobby: "
settle $a "alice's query"

# Leaving does not change the current session shown in the prompt.
type_line $b "/leave"
out $b "STATUS: Request to leave sessions was sent to the server." "@lobby: "
cont $b "STATUS: Left session 'lobby' successfully!"
out $b "@lobby: "
settle $b "bob leaves every session"
log_shows "USER bob left ALL the sessions."

type_line $a "/qryme"
out $a "STATUS: Query me request sent successfully." "@lobby: "
cont $a "STATUS: QRYME - You are part of the following sessions: lobby."
out $a "@lobby: "
settle $a "alice's own query"

for p in $a $b; do
    type_line "$p" "/quit"
    out "$p" "STATUS: Successfully logged out from the server."
    deadline=$(($(now_ms) + 5000))
    until [ -s "$work/status.$p" ]; do
        [ "$(now_ms)" -gt "$deadline" ] && fail "the client in pane $p did not end after /quit"
        sleep 0.05
    done
    [ "$(cat "$work/status.$p")" = 0 ] ||
        fail "the client in pane $p ended with status $(cat "$work/status.$p") after /quit"
    settle "$p" "/quit"
done
log_shows "USER alice LOGGED OUT."
log_shows "USER bob LOGGED OUT."

elapsed=$(($(now_ms) - started))
[ "$elapsed" -lt 30000 ] || fail "the session took ${elapsed} ms, more than 30 s"
echo "PASS: two clients under tmux showed every banner, prompt, status and chat line as expected (${elapsed} ms)"
