# shellcheck shell=bash disable=SC2154  # HOST and work are set by the caller
# Shell steps shared by the load scripts in bench/: checking that the tools
# are built, picking a free loopback port, starting quellon-serverhost and
# reading back the port it listens on, and stopping what a script started.
# Sourced, not run; the caller has set -euo pipefail and has changed to the
# repository root. Brings in scripts/lib.sh: a failing step says what failed.
source scripts/lib.sh

# require_built TOOL...: exits unless every TOOL is an executable file.
require_built() {
  local tool
  for tool in "$@"; do
    [ -x "$tool" ] || { echo "missing $tool (build with QUELLON_BENCH=ON)" >&2; exit 1; }
  done
}

# free_port: prints a TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_host OUT ARGS...: starts $HOST --config $work/quellon.ini ARGS in the
# background with its output in OUT and its process id in OUT.pid.
start_host() {
  local out=$1
  shift
  "$HOST" --config "$work/quellon.ini" "$@" > "$out" 2>&1 &
  echo $! > "$out.pid"
}

# wait_port OUT: prints the port the server host writing OUT listens on, as
# soon as it says so; fails with its output after 5 s.
wait_port() {
  local out=$1 port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^listening on \([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && { echo "$port"; return 0; }
    sleep 0.05
  done
  echo "the server host did not start:" >&2
  cat "$out" >&2
  return 1
}

# stop_process PID: ends a background process of this script and reaps it;
# nothing when PID is empty or the process is gone.
# The process's own exit status (143 after the kill) is not this function's:
# under set -e it would end the caller's clean-up.
stop_process() {
  if [ -n "$1" ] && kill "$1" 2>/dev/null; then
    wait "$1" 2>/dev/null || true
  fi
}
