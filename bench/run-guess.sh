#!/usr/bin/env bash
# Password guessing from one address: how many failed logins the command
# server answers per second to N connections of one client address that
# guess without pause, reconnecting whenever closed.
#
# Starts quellon-serverhost (the command server alone) on a loopback port
# and runs quellon-guess against it RUNS times, each against a fresh server
# (the login budget lives as long as the server).
#
#   BUILD_DIR=build CONNECTIONS=300 SECONDS_EACH=10 RUNS=3 bench/run-guess.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh

BUILD_DIR=${BUILD_DIR:-build}
CONNECTIONS=${CONNECTIONS:-300}
SECONDS_EACH=${SECONDS_EACH:-10}
RUNS=${RUNS:-3}
GUESS="$BUILD_DIR/bench/quellon-guess"
HOST="$BUILD_DIR/bench/quellon-serverhost"
require_built "$GUESS" "$HOST"

work=$(mktemp -d)
host_pid=""
cleanup() {
  stop_process "$host_pid"
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/quellon.ini" <<EOF
[LISTEN]
MAXCONNECTIONS=1000
[LOCAL_AUTH]
USERNAME=bench
PASSWORD=bench-password
EOF

for run in $(seq "$RUNS"); do
  start_host "$work/host.out" --port 0
  host_pid=$(cat "$work/host.out.pid")
  port=$(wait_port "$work/host.out")
  printf 'run %s: ' "$run"
  "$GUESS" --port "$port" --connections "$CONNECTIONS" --seconds "$SECONDS_EACH" --user bench
  stop_process "$host_pid"
  host_pid=""
done
