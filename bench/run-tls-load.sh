#!/usr/bin/env bash
# Plain TCP against TLS on the same command server configuration.
#
# Makes a throw-away certificate set (scripts/make-test-certs), starts two
# quellon-serverhost processes from one configuration file, one plain and one
# TLS-only, and for N = 3 and N = 50 clients runs quellon-load (login, then
# NOOP round trips) against both with the same number of commands, printing
# both rates and their ratio. Then measures full TLS 1.2 handshakes per
# second (connect, handshake, greeting, close) with 1 and with 4 clients.
# Each command rate is the median of REPEAT alternating runs.
#
#   BUILD_DIR=build COMMANDS=200000 HANDSHAKES=2000 REPEAT=5 bench/run-tls-load.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh

BUILD_DIR=${BUILD_DIR:-build}
COMMANDS=${COMMANDS:-200000}
HANDSHAKES=${HANDSHAKES:-2000}
REPEAT=${REPEAT:-5}
CLIENT_COUNTS=${CLIENT_COUNTS:-"3 50"}
LOAD="$BUILD_DIR/bench/quellon-load"
HOST="$BUILD_DIR/bench/quellon-serverhost"
require_built "$LOAD" "$HOST"

work=$(mktemp -d)
plain_pid=""
tls_pid=""
cleanup() {
  stop_process "$plain_pid"
  stop_process "$tls_pid"
  rm -rf "$work"
}
trap cleanup EXIT

scripts/make-test-certs "$work/certs" "bench key password"
tls_port=$(free_port)
cat > "$work/quellon.ini" <<EOF2
[LISTEN]
MAXCONNECTIONS=100
[LOCAL_AUTH]
USERNAME=bench
PASSWORD=bench
[SSL]
SSLENABLED=true
SSLPORT=$tls_port
SERVERCERTFILE=$work/certs/server.pem
SERVERCERTPASSWORD=bench key password
DHFILE=$work/certs/dh.pem
CALIST=$work/certs/calist.pem
EOF2

start_host "$work/plain.out" --port 0
plain_pid=$(cat "$work/plain.out.pid")
start_host "$work/tls.out" --tls
tls_pid=$(cat "$work/tls.out.pid")
plain_port=$(wait_port "$work/plain.out")
tls_port=$(wait_port "$work/tls.out")

rate() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }

# Median of the numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The machine may be shared: plain and TLS runs alternate, REPEAT times each,
# and the medians are compared.
printf '%-8s %-12s %-12s %s\n' clients plain_rps tls_rps "tls/plain"
for n in $CLIENT_COUNTS; do
  : > "$work/plain.rates"
  : > "$work/tls.rates"
  for _ in $(seq "$REPEAT"); do
    "$LOAD" --port "$plain_port" --clients "$n" --commands "$COMMANDS" --user bench \
      --password bench | rate commands_per_second >> "$work/plain.rates"
    "$LOAD" --port "$tls_port" --tls --clients "$n" --commands "$COMMANDS" --user bench \
      --password bench | rate commands_per_second >> "$work/tls.rates"
  done
  p_rps=$(median < "$work/plain.rates")
  t_rps=$(median < "$work/tls.rates")
  ratio=$(awk -v a="$t_rps" -v b="$p_rps" 'BEGIN { printf "%.2f", a / b }')
  printf '%-8s %-12s %-12s %s\n' "$n" "$p_rps" "$t_rps" "$ratio"
done

for n in 1 4; do
  h=$("$LOAD" --port "$tls_port" --handshakes "$HANDSHAKES" --clients "$n")
  echo "full TLS 1.2 handshakes, $n client(s): $(rate handshakes_per_second <<<"$h") per second"
done
