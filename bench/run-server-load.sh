#!/usr/bin/env bash
# Load comparison of the command server with Redis on this machine.
#
# Starts quellon-serverhost (the command server alone) and a redis-server on
# loopback ports, then for N = 3 and N = 50 clients runs quellon-load (login,
# then NOOP round trips) and redis-benchmark (PING_INLINE, no pipelining)
# with the same number of requests, and prints both rates and their ratio.
#
#   BUILD_DIR=build COMMANDS=200000 bench/run-server-load.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh

BUILD_DIR=${BUILD_DIR:-build}
COMMANDS=${COMMANDS:-200000}
CLIENT_COUNTS=${CLIENT_COUNTS:-"3 50"}
LOAD="$BUILD_DIR/bench/quellon-load"
HOST="$BUILD_DIR/bench/quellon-serverhost"
require_built "$LOAD" "$HOST"
command -v redis-server >/dev/null && command -v redis-benchmark >/dev/null ||
  { echo "redis-server and redis-benchmark are needed" >&2; exit 1; }

work=$(mktemp -d)
host_pid=""
redis_pid=""
cleanup() {
  stop_process "$host_pid"
  stop_process "$redis_pid"
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/quellon.ini" <<EOF
[LISTEN]
MAXCONNECTIONS=100
[LOCAL_AUTH]
USERNAME=bench
PASSWORD=bench
EOF

start_host "$work/host.out" --port 0
host_pid=$(cat "$work/host.out.pid")
port=$(wait_port "$work/host.out")

redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --daemonize no \
  > "$work/redis.out" 2>&1 &
redis_pid=$!
for _ in $(seq 100); do
  [ "$(redis-cli -p "$redis_port" ping 2>/dev/null)" = "PONG" ] && break
  sleep 0.05
done

printf '%-8s %-14s %-14s %-7s %s\n' clients quellon_rps redis_rps ratio "quellon p50/p99 (us)"
for n in $CLIENT_COUNTS; do
  q=$("$LOAD" --port "$port" --clients "$n" --commands "$COMMANDS" --user bench --password bench)
  q_rps=$(sed -n 's/.*commands_per_second=\([0-9.]*\).*/\1/p' <<<"$q")
  q_p50=$(sed -n 's/.*p50_us=\([0-9]*\).*/\1/p' <<<"$q")
  q_p99=$(sed -n 's/.*p99_us=\([0-9]*\).*/\1/p' <<<"$q")
  r=$(redis-benchmark -h 127.0.0.1 -p "$redis_port" -t ping_inline -c "$n" -P 1 -n "$COMMANDS" --csv)
  r_rps=$(awk -F'"' '/PING_INLINE/ {print $4}' <<<"$r")
  ratio=$(awk -v a="$q_rps" -v b="$r_rps" 'BEGIN { printf "%.2f", a / b }')
  printf '%-8s %-14s %-14s %-7s %s/%s\n' "$n" "$q_rps" "$r_rps" "$ratio" "$q_p50" "$q_p99"
done
