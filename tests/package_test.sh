#!/usr/bin/env bash
# The Debian package on this machine, as root: lintian finds no error; once
# installed, the server started as conference-server.service starts it, as
# its own user, takes logins with a password conference-passwd hashed from
# the installed client over 127.0.0.1 and ::1, and over TLS with the key
# where the settings file says, and reloads its accounts on SIGHUP; no other
# user can read them or the key; removal leaves only the conffile and
# a purge leaves nothing.   usage: package_test.sh <deb>
set -euo pipefail
deb=$1 unit=/usr/lib/systemd/system/conference-server.service log=$(mktemp)
fail() { echo "package_test: $*" >&2; cat "$log" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "package_test: skipped, needs root"; exit 77; }
[ ! -e /etc/conference ] || fail "conference is installed here already; purge it first"

timeout 120 lintian --fail-on error "$deb"
dpkg -i "$deb" >/dev/null
trap 'set +e; kill $(jobs -p) 2>/dev/null; rm -f /etc/conference/accounts.csv /etc/conference/tls/*.pem; dpkg -P conference >/dev/null 2>&1; rm -f "$log"' EXIT
! command -v systemd-analyze >/dev/null || systemd-analyze verify "$unit"
[[ $(dpkg-query -W -f='${Conffiles}' conference) == *" /etc/default/conference-server "* ]] ||
  fail "/etc/default/conference-server is no conffile"

# The unit's working directory, settings file and command line, run as the
# unit's user, with the accounts where and as the operator puts them; the
# port is moved off 5000.
dir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
set -a && . "$(sed -n 's/^EnvironmentFile=//p' "$unit")" && set +a
[ "$PORT" = 5000 ] || fail "the settings file's port is $PORT"
PORT=$((20000 + RANDOM % 20000))
user=$(sed -n 's/^User=//p' "$unit") group=$(sed -n 's/^Group=//p' "$unit")
install -m 640 -g "$group" /dev/null /etc/conference/accounts.csv
printf 'bob,bob2\n' >/etc/conference/accounts.csv
echo alice1 | conference-passwd -f /etc/conference/accounts.csv alice >/dev/null
grep -q '^alice,\$y\$' /etc/conference/accounts.csv || fail "conference-passwd did not hash alice's password"
[ "$(stat -c %a:%G /etc/conference/accounts.csv)" = "640:$group" ] || fail "conference-passwd lost the file's mode or group"
! runuser -u nobody -- cat /etc/conference/accounts.csv 2>/dev/null || fail "other users can read the accounts"
grep -q '^#TLS_OPTIONS=--tls-port ' /etc/default/conference-server || fail "no TLS settings to uncomment"
[ "$(stat -c %a:%U:%G /etc/conference/tls)" = "750:root:$group" ] || fail "/etc/conference/tls is not 750 root:$group"
TLS_PORT=$((PORT + 1)) tls=/etc/conference/tls
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=test \
  -addext subjectAltName=IP:127.0.0.1 -keyout $tls/key.pem -out $tls/cert.pem 2>/dev/null
chgrp "$group" $tls/key.pem && chmod 640 $tls/key.pem
! runuser -u nobody -- cat $tls/key.pem 2>/dev/null || fail "other users can read the TLS key"
TLS_OPTIONS=$(sed -n "s/^#TLS_OPTIONS=--tls-port 5001 /--tls-port $TLS_PORT /p" /etc/default/conference-server)
(cd "$dir" && eval "exec setpriv --reuid=$user --regid=$group --clear-groups $(sed -n 's/^ExecStart=//p' "$unit")") >"$log" 2>&1 &
logins() { grep -c 'Client alice successfully logged in' "$log" || true; }
for _ in {1..50}; do grep -q 'TLS on port' "$log" && break; sleep 0.1; done
addrs=(127.0.0.1) && ! grep -qs . /proc/net/if_inet6 || addrs+=(::1)
for addr in "${addrs[@]}"; do
  out=$(printf '/login alice alice1 %s %s\n' "$addr" "$PORT" | timeout 10 conference-client)
  [[ $out == *"STATUS: Login successful!"* ]] || fail "no login over $addr: $out"
done
out=$(printf '/login -tls alice alice1 127.0.0.1 %s\n' "$TLS_PORT" | CONFERENCE_TLS_CA=$tls/cert.pem timeout 10 conference-client)
[[ $out == *"STATUS: Login successful!"* ]] || fail "no login over TLS: $out"
addrs+=(TLS)
# The log reaches a pipe as it happens, not when the server ends.
for _ in {1..50}; do [ "$(logins)" = ${#addrs[@]} ] && break; sleep 0.1; done
[ "$(logins)" = ${#addrs[@]} ] || fail "the log does not show ${#addrs[@]} logins"
kill -HUP %1
for _ in {1..50}; do grep -q 'Accounts reloaded. Number of accounts: 2' "$log" && break; sleep 0.1; done
grep -q 'Accounts reloaded. Number of accounts: 2' "$log" || fail "no reload on SIGHUP"
kill %1 && wait %1 || true
rm /etc/conference/accounts.csv $tls/*.pem

files=$(dpkg -L conference)
dpkg -r conference >/dev/null
for f in $files; do [ -d "$f" ] || [ ! -e "$f" ] || [ "$f" = /etc/default/conference-server ] ||
  fail "$f left after dpkg -r"; done
dpkg -P conference >/dev/null
for f in $files; do [ ! -e "$f" ] || { [ -d "$f" ] && [ -n "$(ls -A "$f")" ]; } ||
  fail "$f left after dpkg -P"; done
echo "package_test: passed over ${addrs[*]}"
