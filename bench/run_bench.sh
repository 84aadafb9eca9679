#!/usr/bin/env bash
# Benchmarks the conference server: starts <builddir>/server on a free
# loopback port in a scratch directory with nine bench accounts (b1..b9, pw),
# runs <builddir>/loadgen against it `repeats` times (w1, w2, w3 each time,
# with new connections and a new session), prints every run and the medians,
# and always stops the server at the end.
#
# With STORM=N the passwords are hashed with conference-passwd and N
# connections guess passwords throughout (each answered guess reconnects and
# guesses again); the other 9-N clients then measure w3's latency beside it.
#
# usage: bench/run_bench.sh <builddir> [repeats]     (KEEP=1 keeps the scratch dir)
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 <builddir> [repeats]" >&2
    exit 2
fi
build=$(cd "$1" 2>/dev/null && pwd) || { echo "run_bench: no build directory $1" >&2; exit 2; }
repeats=${2:-3}
server=$build/server
loadgen=$build/loadgen
for prog in "$server" "$loadgen"; do
    [ -x "$prog" ] || { echo "run_bench: $prog is missing; build it first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/confbench.XXXXXX")
server_pid=""
keep=${KEEP:-0}

stop_server() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill "$server_pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$server_pid" 2>/dev/null || true
    fi
    server_pid=""
}
cleanup() {
    stop_server
    if [ "$keep" = 1 ]; then echo "run_bench: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for i in 1 2 3 4 5 6 7 8 9; do echo "b$i,pw"; done >"$work/accounts.csv"
storm=${STORM:-0} workload_args=()
if [ "$storm" -gt 0 ]; then
    for i in 1 2 3 4 5 6 7 8 9; do
        echo pw | "$build/conference-passwd" -f "$work/accounts.csv" "b$i" >/dev/null
    done
    workload_args=(--clients $((9 - storm)) --storm "$storm" --workloads w3)
fi

# A free port can be taken by someone else before the server binds it: try a few.
port=""
for _ in 1 2 3; do
    candidate=$("$loadgen" --free-port)
    (cd "$work" && exec "$server" "$candidate") >"$work/server.log" 2>&1 &
    server_pid=$!
    # Up to 10 s for the port to answer, giving up early if the server exits.
    for _ in $(seq 50); do
        kill -0 "$server_pid" 2>/dev/null || break
        if "$loadgen" --wait-port "$candidate" --timeout 0.2 2>/dev/null; then
            port=$candidate
            break
        fi
    done
    [ -n "$port" ] && break
    stop_server
done
if [ -z "$port" ]; then
    echo "run_bench: the server did not start; its log:" >&2
    tail -n 20 "$work/server.log" >&2
    keep=1
    exit 1
fi

echo "server: $server (pid $server_pid) on 127.0.0.1:$port, log in $work/server.log"
echo "machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), kernel $(uname -r)"
results=$work/results.jsonl
status=0
for run in $(seq "$repeats"); do
    echo
    echo "--- run $run of $repeats"
    if ! timeout 170 "$loadgen" --port "$port" --server-pid "$server_pid" --timeout 20 \
        --json-out "$results" "${workload_args[@]}"; then
        status=1
        kill -0 "$server_pid" 2>/dev/null || { echo "run_bench: the server died" >&2; break; }
    fi
done

# Medians over the runs, per workload; w1+w2 CPU is the CPU of both over the lines of both.
echo
echo "--- medians of $repeats runs"
awk '
function field(line, key,    m) {
    if (match(line, "\"" key "\":[^,}]*")) { m = substr(line, RSTART, RLENGTH); sub(/^[^:]*:/, "", m); gsub(/"/, "", m); return m }
    return ""
}
function median(list,    n, v, i, j, t) {
    n = split(list, v, " ")
    if (n == 0) return -1
    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j-1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j-1]; v[j-1] = t }
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
function si(x) {
    if (x < 0) return "-"
    if (x >= 1e6) return sprintf("%.2fM", x / 1e6)
    if (x >= 1e3) return sprintf("%.1fk", x / 1e3)
    return sprintf("%.0f", x)
}
function opt(x, fmt) { return x < 0 ? "-" : sprintf(fmt, x) }
{
    w = field($0, "workload"); if (w == "") next
    if (w == "w1") run++
    if (!(w in seen)) { seen[w] = 1; order[++nw] = w }
    for (k = 1; k <= nk; k++) vals[w, keys[k]] = vals[w, keys[k]] " " field($0, keys[k])
    if (field($0, "ok") != "true") fails++
    if (w == "w1" || w == "w2") { cpu[run] += field($0, "server_cpu_ns"); lines[run] += field($0, "lines") }
}
BEGIN { nk = split("lines_per_s msgs_per_s lat_p50_us lat_p99_us lat_max_us server_cpu_us_per_line rss_max_kib rss_hwm_kib rss_anon_max_kib", keys, " ") }
END {
    printf "%-6s %9s %8s %8s %8s %8s %10s %9s %9s %9s\n", "wl", "lines/s", "msgs/s", "p50_us", "p99_us", "max_us", "cpu_us/ln", "rss_kib", "hwm_kib", "anon_kib"
    for (i = 1; i <= nw; i++) {
        w = order[i]
        printf "%-6s %9s %8s %8s %8s %8s %10s %9s %9s %9s\n", w, si(median(vals[w, "lines_per_s"])), si(median(vals[w, "msgs_per_s"])),
            opt(median(vals[w, "lat_p50_us"]), "%.0f"), opt(median(vals[w, "lat_p99_us"]), "%.0f"), opt(median(vals[w, "lat_max_us"]), "%.0f"),
            opt(median(vals[w, "server_cpu_us_per_line"]), "%.3f"), opt(median(vals[w, "rss_max_kib"]), "%.0f"), opt(median(vals[w, "rss_hwm_kib"]), "%.0f"), opt(median(vals[w, "rss_anon_max_kib"]), "%.0f")
    }
    list = ""
    for (r = 1; r <= run; r++) if (lines[r] > 0 && cpu[r] > 0) list = list " " cpu[r] / 1000 / lines[r]
    printf "w1+w2  server CPU per delivered line: %s us\n", opt(median(list), "%.3f")
    printf "checks: %s\n", fails ? fails " workload(s) FAILED" : "all passed"
}' "$results"

grep -q '"ok":false' "$results" 2>/dev/null && status=1
[ -s "$results" ] || status=1
exit "$status"
