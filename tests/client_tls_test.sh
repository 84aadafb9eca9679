#!/usr/bin/env bash
# /login -tls against openssl s_server, a TLS peer written elsewhere: which
# servers the client trusts (a certificate for the host typed, sent by
# name (SNI) for localhost; a key in known_servers), and that the login
# request, which holds the password, reaches only those. s_server prints
# what it receives and sends what it reads from its input: LG_ACK, then
# replies.
# Last, our server's plain port, which speaks no TLS: the handshake fails.
#   tests/client_tls_test.sh <client> <server>    exits 0 passed, 1 failed, 77 skipped.
set -u
client=$(realpath "$1") server=$(realpath "$2")
command -v openssl >/dev/null || { echo "SKIP: openssl is not installed"; exit 77; }
[ -r /proc/net/tcp ] || { echo "SKIP: no /proc/net/tcp to see s_server listen"; exit 77; }
work=$(mktemp -d) && cd "$work" || exit 1
trap 'kill ${pid:-} ${cpid:-} 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: ${row:-};${host:-};${ca:-};${listed:-}: $1"; cat out 2>/dev/null; exit 1; }
export XDG_CONFIG_HOME=$work/config HOME=$work
known=$XDG_CONFIG_HOME/conference/known_servers

# A test authority; keys of their own (self, other), and keys it signed for
# 127.0.0.1 (ip), for 127.0.0.2 (wrong) and for localhost (name).
cert() { openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
    -keyout "$1.key" -out "$1.pem" -subj "/CN=$1" "${@:2}" 2>/dev/null || fail "no $1 key"; }
cert ca && cert self && cert other
for pair in ip:IP:127.0.0.1 wrong:IP:127.0.0.2 name:DNS:localhost; do
    cert "${pair%%:*}" -addext "subjectAltName=${pair#*:}" -CA ca.pem -CAkey ca.key
done
fp() { openssl x509 -in "$1.pem" -pubkey -noout | openssl pkey -pubin -outform DER |
    openssl dgst -sha256 -binary | base64 | tr -d '='; }

# Waits (at most 5 s) until "$@" holds.
until_ok() { for _ in $(seq 100); do "$@" && return 0; sleep 0.05; done; return 1; }
listening() { grep -Eqs ":$(printf %04X "$port") 0+:0000 0A" /proc/net/tcp /proc/net/tcp6 || gone "$pid"; }
gone() { ! kill -0 "$1" 2>/dev/null; }
# The login's answer comes with 40 replies in one record: more than one read
# takes, so the rest waits inside the TLS library, where select() sees nothing.
replies() { printf 'LG_ACK\n' && for i in $(seq 40); do printf 'JOIN_ACK#room%02d\n' "$i"; done; }

# cert;host;CONFERENCE_TLS_CA;key listed for the server;login sent;a line shown
# (PORT, KEY: the server's port and its key's fingerprint; FILE: known_servers).
while IFS=';' read -r -u 5 row host ca listed sent shown; do
    mkdir -p "${known%/*}" && rm -f "$known" feed keys && mkfifo feed keys && exec 4<>feed 6<>keys
    for _ in 1 2 3 4 5; do # a random port; another one if it was taken
        port=$((20000 + RANDOM % 40000))
        # An SNI of localhost switches s_server to the name key.
        openssl s_server -quiet -naccept 1 -accept "127.0.0.1:$port" -cert "$row.pem" \
            -key "$row.key" -servername localhost -cert2 name.pem -key2 name.key <feed >got 2>&1 &
        pid=$!
        until_ok listening && ! gone "$pid" && break || pid=""
    done
    [ -n "$pid" ] || fail "s_server did not start"
    replies >&4
    # Another port's line and a comment are no entry for this server.
    printf '# servers\n\n127.0.0.1 %d SHA256:%s\n' $((port + 1)) "$(fp other)" >"$known"
    [ -n "$listed" ] && echo "127.0.0.1 $port SHA256:$(fp "$listed")" >>"$known"
    CONFERENCE_TLS_CA=${ca:+$work/$ca.pem} timeout 20 "$client" <keys >out 2>&1 &
    cpid=$!
    printf '/login -tls alice alice1 %s %d\n' "$host" "$port" >&6
    [ "$sent" = 1 ] && { until_ok grep -Fq "Joined session 'room40'" out || fail "replies held back"; }
    echo /quit >&6
    until_ok gone "$cpid" && until_ok gone "$pid" || fail "the client or s_server did not end"
    wait "$cpid" || fail "the client exited with $?"
    pid="" cpid="" && exec 4>&- 6>&-
    shown=${shown//PORT/$port} && shown=${shown//KEY/$(fp "$row")}
    grep -Fxq -- "${shown//FILE/$known}" out || fail "no line '$shown'"
    if [ "$sent" = 1 ]; then
        grep -Fq "LOGIN#alice#alice1" got || fail "the login request was not sent"
        grep -Eq '^STATUS: The connection is encrypted \(TLSv1\.[23]\)\.$' out || fail "no TLS"
        grep -Fxq "STATUS: Login successful!" out || fail "LG_ACK was not taken"
    else
        grep -Fq "LOGIN" got && fail "the login request went to an untrusted server"
        grep -Fxq "ERROR: Login abandoned; the password was not sent." out || fail "not refused"
    fi
done 5<<'EOF'
self;127.0.0.1;;;0;127.0.0.1 PORT SHA256:KEY
self;127.0.0.1;;self;1;STATUS: The server's key is the one accepted before (FILE, line 4).
self;127.0.0.1;;other;0;ERROR:     SHA256:KEY
self;127.0.0.1;;other;0;ERROR: Line 4 of FILE holds another key for this server.
ip;127.0.0.1;ca;;1;STATUS: The server's certificate is valid for 127.0.0.1.
ip;127.0.0.1;;;0;ERROR: Its key fingerprint is SHA256:KEY.
wrong;127.0.0.1;ca;;0;ERROR: The server's certificate is not trusted for 127.0.0.1 (IP address mismatch),
self;localhost;ca;;1;STATUS: The server's certificate is valid for localhost.
EOF
row=plain && printf 'alice,alice1\n' >accounts.csv
for _ in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    "$server" "$port" >log 2>&1 &
    pid=$! && until_ok listening && ! gone "$pid" && break || pid=""
done
[ -n "$pid" ] || fail "the server did not start"
printf '/login -tls alice alice1 127.0.0.1 %d\n' "$port" | timeout 20 "$client" >out 2>&1
grep -Fxq "ERROR: The TLS handshake failed: the server closed the connection." out || fail "no failure"
until_ok grep -q "spoke TLS to the plain port" log && ! grep -q LOGIN log || fail "LOGIN sent"
echo "PASS"
