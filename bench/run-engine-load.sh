#!/usr/bin/env bash
# Load figures of the subscription engine, end to end: the real listener
# (build/quellon) on plain TCP, simulated hosts in a temporary store filled
# from real event logs, quellon-sim play writing new records, and
# quellon-engine-load as three logged-in clients.
#
# Five phases, each against a freshly started listener:
#   1. saturation: one host played as fast as possible, one subscription;
#      delivered NTEVENT records per second per client (goal: 50000);
#   2. latency: LAT_HOSTS hosts played at LAT_RATE records per second each,
#      LAT_SUBS subscriptions; time from the record's write (its
#      TimeGenerated) to its arrival at a client, median and 99th percentile,
#      with WT_FOR_WQ 1 (and, for comparison, WT_FOR_WQ 0);
#   3. memory: MEM_SUBS subscriptions over MEM_HOSTS hosts; the listener's
#      VmRSS before and after adding them (goal: under 64 KiB each);
#   4. a slow client: phase 1's load for SLOW_SECONDS with the three clients
#      alone (the anchor), then with a fourth logged-in client that never
#      reads, then the anchor again; the listener's largest VmRSS (goal:
#      under OUTPUTLIMIT + 50 MB), whether the slow client was disconnected
#      (and the listener's log line saying so), and the delivered rate of
#      the three others against the anchors' mean (goal: within 10%);
#   5. idle subscriptions: IDLE_SUBS subscriptions over IDLE_HOSTS hosts with
#      the default poll timeout (EVENTWAITPERCONNECTION 1000) and WT_FOR_WQ 1;
#      first the listener's CPU while all of them are idle (goal: under 5% of
#      a core), then one host played at IDLE_RATE records per second feeding
#      one subscription while the others stay idle: delivered rate (goal:
#      the written rate) and latency p99 (goal: within WT_FOR_WQ + 1 s).
#   6. catch-up: two hosts, one subscription each; host 2 played at
#      CATCH_RATE records per second throughout; host 1 goes down, writes
#      CATCH_RECORDS records and comes back: records per second from its
#      CONNECTION_REESTAB to the last caught-up record (goal: 50000), and host
#      2's latency p99 during the catch-up beside its p99 without (goal:
#      within 2x).
#
#   bench/run-engine-load.sh [BUILD_DIR]        (default: build)
#   PHASES="1 2 3 4 5 6" SAT_SECONDS=5 LAT_HOSTS=10 LAT_RATE=100 LAT_SUBS=30 \
#   LAT_SECONDS=10 MEM_HOSTS=100 MEM_SUBS=1000 SLOW_SECONDS=60 \
#   OUTPUTLIMIT=67108864 IDLE_HOSTS=100 IDLE_SUBS=1000 IDLE_RATE=1000 \
#   IDLE_SECONDS=10 IDLE_PLAY_SECONDS=10 CATCH_RECORDS=100000 CATCH_RATE=100 \
#   CATCH_SECONDS=10 CATCH_WITHIN=1 bench/run-engine-load.sh build
#   SCRAPE_EVERY=1: the listener serves its metrics endpoint, scraped every
#   second during each phase (compare with a run without).
#
# Every process started here is stopped on exit, and the temporary folder
# removed.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/lib.sh
ROOT=$PWD

BUILD_DIR=$(cd "${1:-${BUILD_DIR:-build}}" && pwd)
PHASES=${PHASES:-"1 2 3 4 5 6"}
SAT_SECONDS=${SAT_SECONDS:-5}
LAT_HOSTS=${LAT_HOSTS:-10}
LAT_RATE=${LAT_RATE:-100}
LAT_SUBS=${LAT_SUBS:-30}
LAT_SECONDS=${LAT_SECONDS:-10}
MEM_HOSTS=${MEM_HOSTS:-100}
MEM_SUBS=${MEM_SUBS:-1000}
IDLE_HOSTS=${IDLE_HOSTS:-100}
IDLE_SUBS=${IDLE_SUBS:-1000}
IDLE_RATE=${IDLE_RATE:-1000}
IDLE_SECONDS=${IDLE_SECONDS:-10}
IDLE_PLAY_SECONDS=${IDLE_PLAY_SECONDS:-10}
QUERY_THREADS=${QUERY_THREADS:-32}
SLOW_SECONDS=${SLOW_SECONDS:-60}
OUTPUTLIMIT=${OUTPUTLIMIT:-67108864}
CATCH_RECORDS=${CATCH_RECORDS:-100000}
CATCH_RATE=${CATCH_RATE:-100}
CATCH_SECONDS=${CATCH_SECONDS:-10}
CATCH_WITHIN=${CATCH_WITHIN:-1}

QUELLON="$BUILD_DIR/quellon"
SIM="$BUILD_DIR/quellon-sim"
LOAD="$BUILD_DIR/bench/quellon-engine-load"
require_built "$QUELLON" "$SIM" "$LOAD"
EVTX=$ROOT/examples/evtx

work=$(mktemp -d)
server_pid=""
driver_pid=""
scraper_pid=""

# With SCRAPE_EVERY=S the listener also serves its metrics endpoint and a
# scraper reads it every S seconds while it runs (its cost beside a run
# without).
METRICS_PORT=""
metrics_section() {
  [ -n "${SCRAPE_EVERY:-}" ] || return 0
  printf '[METRICS]\nLISTEN=127.0.0.1:%s\n' "$METRICS_PORT"
}
start_scraper() {
  [ -n "${SCRAPE_EVERY:-}" ] || return 0
  (while :; do
    curl -s -o /dev/null "http://127.0.0.1:$METRICS_PORT/metrics" || true
    sleep "$SCRAPE_EVERY"
  done) &
  scraper_pid=$!
}

# Stops the listener: "q" on its standard input, then a signal if it has not
# ended within 45 s (its engine gives itself 30 s to drain).
stop_server() {
  stop_process "$scraper_pid"
  scraper_pid=""
  [ -n "$server_pid" ] || return 0
  echo q >&3 2>/dev/null || true
  exec 3>&- 2>/dev/null || true
  for _ in $(seq 450); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$server_pid" 2>/dev/null; then
    echo "the listener did not stop within 45 s; killing it" >&2
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

cleanup() {
  # The listener may be gone already (a Ctrl-C reaches the whole group):
  # writing "q" must not end this script before it has cleaned up.
  trap '' PIPE
  stop_process "$driver_pid"
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- the store: hosts 127.0.1.1 .. 127.0.1.N, each with some real history --
STORE=$work/simhosts.db
host_count=$(( MEM_HOSTS > LAT_HOSTS ? MEM_HOSTS : LAT_HOSTS ))
[[ " $PHASES " == *" 3 "* ]] || host_count=$LAT_HOSTS
[[ " $PHASES " == *" 5 "* ]] && host_count=$(( IDLE_HOSTS > host_count ? IDLE_HOSTS : host_count ))
host_count=$(( host_count > 2 ? host_count : 2 ))
echo "creating $host_count simulated hosts in $STORE"
"$SIM" --store "$STORE" host add 127.0.1.1 >/dev/null
"$SIM" --store "$STORE" import 127.0.1.1 "$EVTX/system.evtx" \
  "$EVTX/ID4768-4771-Kerberos brutforce with non existing users.evtx" | tail -1
for i in $(seq 2 "$host_count"); do
  "$SIM" --store "$STORE" host add "127.0.1.$i" >/dev/null
  if [ "$i" -le "$LAT_HOSTS" ] || [ "$i" -le 2 ]; then
    "$SIM" --store "$STORE" import "127.0.1.$i" "$EVTX/system.evtx" >/dev/null
  fi
done

# ---- the listener ------------------------------------------------------------
# start_server WT_FOR_WQ [EVENTWAITPERCONNECTION]: starts the listener on a
# free port with a fresh configuration (poll timeout 100 ms unless given);
# sets PORT and server_pid.
start_server() {
  local within=$1
  local pollWait=${2:-100}
  PORT=$(free_port)
  if [ -n "${SCRAPE_EVERY:-}" ]; then METRICS_PORT=$(free_port); fi
  cat > "$work/quellon.ini" <<EOF
$(metrics_section)
[LISTEN]
PORT=$PORT
MAXCONNECTIONS=20
OUTPUTLIMIT=$OUTPUTLIMIT
[SSL]
SSLENABLED=false
[Logger]
filename=$work/quellon.log
level=warn
[LOCAL_AUTH]
USERNAME=bench
PASSWORD=bench
[PERFORMANCE]
ConnectionProcessors=10
EventRetriever=$QUERY_THREADS
WT_FOR_WQ=$within
[OTHERS]
MinReconnectInterval=1
MaxReconnectInterval=10
CHECKTERMINATEFLAG=200
EVENTWAITPERCONNECTION=$pollWait
NUMBEROFEVENTSTOPOOL=50
[WMI]
PROVIDER=sim
SIMSTORE=$STORE
EOF
  rm -f "$work/stdin"
  mkfifo "$work/stdin"
  "$QUELLON" -c "$work/quellon.ini" < "$work/stdin" > "$work/quellon.out" 2>&1 &
  server_pid=$!
  exec 3> "$work/stdin"
  for _ in $(seq 100); do
    if grep -q "Press Q to quit" "$work/quellon.out" 2>/dev/null; then
      start_scraper
      return 0
    fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the listener did not start:" >&2
  cat "$work/quellon.out" >&2
  exit 1
}

# run_driver ARGS...: the driver against the running listener, in the
# background so that a signal to this script reaches the trap at once.
run_driver() {
  "$LOAD" --port "$PORT" --user bench --password bench --clients 3 "$@" > "$work/driver.out" &
  driver_pid=$!
  local rc=0
  wait "$driver_pid" || rc=$?
  driver_pid=""
  sed 's/^/  /' "$work/driver.out"
  return $rc
}

figure() {  # figure KEY: the value of KEY= in the driver's last output
  sed -n "s/.*\\b$1=\\([-0-9.]*\\).*/\\1/p" "$work/driver.out" | tail -1
}

summary=()

if [[ " $PHASES " == *" 1 "* ]]; then
  echo
  echo "phase 1: saturation - 1 host played as fast as possible, 1 subscription, 3 clients"
  start_server 1
  run_driver --hosts 1 --subscriptions 1 --sim "$SIM" --store "$STORE" --server-pid "$server_pid" \
    --rate 0 --warmup 2 --duration "$SAT_SECONDS"
  stop_server
  summary+=("saturation: $(figure least_events_per_second_per_client) events/s delivered to each\
 client (least of 3; goal >= 50000); play wrote $(figure played_per_second)/s")
fi

if [[ " $PHASES " == *" 2 "* ]]; then
  for within in 1 0; do
    echo
    echo "phase 2: latency - WT_FOR_WQ $within, EVENTWAITPERCONNECTION 100, $LAT_HOSTS hosts at" \
         "$LAT_RATE/s each, $LAT_SUBS subscriptions, 3 clients"
    start_server "$within"
    run_driver --hosts "$LAT_HOSTS" --subscriptions "$LAT_SUBS" --sim "$SIM" --store "$STORE" \
      --server-pid "$server_pid" --rate "$LAT_RATE" --warmup 3 --duration "$LAT_SECONDS"
    stop_server
    summary+=("latency WT_FOR_WQ=$within: p50 $(figure latency_p50_ms) ms, p99\
 $(figure latency_p99_ms) ms ($(figure latency_samples) samples,\
 $(figure least_events_per_second_per_client) events/s per client)")
  done
fi

if [[ " $PHASES " == *" 3 "* ]]; then
  echo
  echo "phase 3: memory - $MEM_SUBS subscriptions over $MEM_HOSTS hosts"
  start_server 1
  run_driver --hosts "$MEM_HOSTS" --subscriptions "$MEM_SUBS" --server-pid "$server_pid" \
    --settle 5
  stop_server
  summary+=("memory at S=$MEM_SUBS: $(figure rss_per_subscription_kib) KiB per subscription\
 (goal < 64; VmRSS $(figure rss_before_kib) KiB before, $(figure rss_after_kib) KiB after)")
fi

if [[ " $PHASES " == *" 4 "* ]]; then
  # The slow run between two anchors, so that a drift of the machine (or
  # of the store's cache) shows instead of passing for an effect.
  anchors=()
  for slow in 0 1 0; do
    echo
    if [ "$slow" = 1 ]; then
      echo "phase 4: slow client - phase 1's load for $SLOW_SECONDS s with a 4th client that never reads"
    else
      echo "phase 4: anchor - phase 1's load for $SLOW_SECONDS s, 3 clients that read"
    fi
    start_server 1
    extra=()
    [ "$slow" = 1 ] && extra=(--slow-client)
    started=$(date +%T)
    run_driver --hosts 1 --subscriptions 1 --sim "$SIM" --store "$STORE" --server-pid "$server_pid" \
      --rate 0 --warmup 2 --duration "$SLOW_SECONDS" "${extra[@]}"
    stop_server
    rate=$(figure least_events_per_second_per_client)
    peak=$(figure rss_peak_kib)
    if [ "$slow" = 0 ]; then
      anchors+=("$rate")
      summary+=("slow client, anchor: $rate events/s to each of 3 clients, VmRSS peak $peak KiB")
    else
      slow_rate=$rate
      summary+=("slow client: $rate events/s to each of 3 readers, VmRSS peak $peak KiB (goal <\
 $(( OUTPUTLIMIT / 1024 + 51200 ))), slow client closed=$(figure slow_client_closed)")
      # The listener's own word on it (its log is at WARN), with the time.
      summary+=("  clients logged in at $started; $(grep -m1 'Closing connection from' \
        "$work/quellon.log" || echo 'no closing logged')")
    fi
  done
  ratio=$(awk -v s="$slow_rate" -v a="${anchors[0]}" -v b="${anchors[1]}" \
    'BEGIN { printf "%.3f", s / ((a + b) / 2) }')
  summary+=("slow client: the readers' rate is $ratio of the anchors' mean (goal >= 0.90)")
fi

if [[ " $PHASES " == *" 5 "* ]]; then
  echo
  echo "phase 5: idle subscriptions - $IDLE_SUBS subscriptions over $IDLE_HOSTS hosts, WT_FOR_WQ 1," \
       "EVENTWAITPERCONNECTION 1000; all idle for $IDLE_SECONDS s, then 1 host at $IDLE_RATE/s" \
       "feeding 1 subscription, 3 clients"
  start_server 1 1000
  run_driver --hosts "$IDLE_HOSTS" --subscriptions "$IDLE_SUBS" --server-pid "$server_pid" \
    --idle "$IDLE_SECONDS" --sim "$SIM" --store "$STORE" --rate "$IDLE_RATE" --play-hosts 1 \
    --warmup 3 --duration "$IDLE_PLAY_SECONDS"
  stop_server
  summary+=("idle: listener CPU $(figure listener_idle_cpu_share) of a core with $IDLE_SUBS idle\
 subscriptions (goal < 0.05); 1 busy of $IDLE_SUBS: wrote $(figure played_per_second)/s, delivered\
 $(figure least_events_per_second_per_client)/s to each client (least of 3), latency p50\
 $(figure latency_p50_ms) ms, p99 $(figure latency_p99_ms) ms (goal <= 2000)")
fi

if [[ " $PHASES " == *" 6 "* ]]; then
  echo
  echo "phase 6: catch-up - host 1 writes $CATCH_RECORDS records while down; host 2 live at" \
       "$CATCH_RATE/s; WT_FOR_WQ $CATCH_WITHIN; 3 clients"
  start_server "$CATCH_WITHIN"
  run_driver --hosts 2 --subscriptions 2 --sim "$SIM" --store "$STORE" --server-pid "$server_pid" \
    --rate "$CATCH_RATE" --warmup 2 --duration "$CATCH_SECONDS" --catchup "$CATCH_RECORDS"
  stop_server
  summary+=("catch-up: $(figure catchup_records_per_second) records/s after the reconnect\
 (goal >= 50000; $(figure catchup_received) of $CATCH_RECORDS in $(figure catchup_seconds) s);\
 the other host's live p99 $(figure live_during_p99_ms) ms during it, $(figure live_alone_p99_ms) ms\
 without (goal: within 2x)")
fi

echo
echo "summary"
for line in "${summary[@]}"; do
  echo "  $line"
done
