# shellcheck shell=bash
# Shell steps shared by the set-up scripts (scripts/*, .ci/run, bench/*.sh):
# a failure that says what failed, Debian package installs that wait for
# another apt-get instead of failing, and the version of a Debian source
# package. Sourced, not run, by a script under set -euo pipefail, after which
# a failing command ends the script with one line on stderr per level it
# failed through (the command, then each command substitution or function
# call that held it):
#   <script>: <file> line <n>: "<command>" failed with status <s>
# Reads:
#   QUELLON_APT_WAIT           seconds to wait for another apt-get (900)
#   QUELLON_APT_RETRY_SECONDS  pause between tries for the lists' lock (5)

# The trap reaches functions, subshells and command substitutions (set -E),
# and a command substitution stops at its first failure as the script does
# (inherit_errexit), rather than going on and handing back half a result.
set -E
shopt -s inherit_errexit
# quellon_failed STATUS FILE LINE COMMAND: the line. A function that ends
# with `return N` is named by its caller's line, not by the `return`.
quellon_failed() {
  local what=$4
  if [[ "$what" == return* ]] && [ -r "$2" ]; then
    what=$(sed -n "$3{s/^[[:space:]]*//;p}" "$2")
  fi
  echo "${0##*/}: ${2##*/} line $3: \"${what:-$4}\" failed with status $1" >&2
}
trap 'quellon_failed $? "${BASH_SOURCE[0]}" "$LINENO" "$BASH_COMMAND"' ERR

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# apt_get ARGS...: apt-get ARGS, waiting for another apt-get or dpkg instead
# of failing: for dpkg's locks through DPkg::Lock::Timeout; for the lock of
# the package lists, which `apt-get update` takes and that option does not
# cover (apt 2.6 fails at once with "Could not get lock"), by trying again
# until the same time has passed. apt-get's output goes to stdout, or to
# stderr when it failed.
apt_get() {
  local wait=${QUELLON_APT_WAIT:-900} pause=${QUELLON_APT_RETRY_SECONDS:-5}
  local start=$SECONDS out rc
  while true; do
    rc=0
    out=$($SUDO apt-get -o DPkg::Lock::Timeout="$wait" "$@" 2>&1) || rc=$?
    if [ "$rc" -eq 0 ]; then
      if [ -n "$out" ]; then printf '%s\n' "$out"; fi
      return 0
    fi
    if [[ "$out" != *"Could not get lock"* ]] || [ $((SECONDS - start)) -ge "$wait" ]; then
      printf '%s\n' "$out" >&2
      return "$rc"
    fi
    sleep "$pause"
  done
}

# install_missing PACKAGE...: installs those of the Debian packages that are
# not installed (after an apt-get update), naming them on stderr; sets
# APT_UPDATED=1 when it updated the package lists.
APT_UPDATED=0
install_missing() {
  local p missing=()
  for p in "$@"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" != "install ok installed" ]; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then return 0; fi
  echo "installing ${missing[*]}" >&2
  apt_get update -qq || return
  APT_UPDATED=1
  apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# source_version PACKAGE: prints the version of Debian's source package in
# the main archive (not -updates or -security, whose newer .dsc files are
# not always on the mirror). apt-cache's output is read to its end: a reader
# that left at the first match would kill a writer with more to say (SIGPIPE)
# and, under pipefail, the script. Fails, saying so, when there is none.
source_version() {
  local madison version
  madison=$(apt-cache madison "$1")
  version=$(awk -F'|' '!found && $3 ~ /Sources/ && $3 !~ /security|updates/ {
      gsub(/ /, "", $2); print $2; found = 1 }' <<<"$madison")
  if [ -z "$version" ]; then
    echo "no source package $1 in the main archive (are deb-src lines there?)" >&2
    return 1
  fi
  echo "$version"
}
