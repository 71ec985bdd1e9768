#!/usr/bin/env bash
# Smoke test of the station program on a real X server (run under xvfb-run): two simulated NOR
# boards, a first station that binds them, a second one on the same machine that stays inert,
# and SIGTERM ending each of them with exit code 0 within 10 seconds.
#   smoke_station.sh STATION BOARDSIM MKPACKAGE
set -euo pipefail
station=$1 boardsim=$2 mkpackage=$3

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  exec 3>&- 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$work"/*.err; do [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }; done
  exit 1
}
# Polls `condition` every tenth of a second for at most `seconds`.
within() {
  local seconds=$1; shift
  local i
  for ((i = 0; i < seconds * 10; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  "$@"
}
alive() { kill -0 "$1" 2>/dev/null; }
gone() { ! alive "$1"; }
watches_devices() { ls -l "/proc/$1/fd" 2>/dev/null | grep -q 'anon_inode:inotify'; }
boards_up() { [ "$(ls "$USB_DEVICE_ROOT"/*/ 2>/dev/null | grep -c '^simboard-')" -eq 2 ]; }
locked() { [ -e "$STATION_RUNTIME_DIR/MY_MUTEX_ENUM.lock" ] && ! flock -n "$STATION_RUNTIME_DIR/MY_MUTEX_ENUM.lock" true; }
refused() { grep -q 'another station runs' "$work/second.err"; }
# Sends SIGTERM and checks the exit: code 0 within 10 seconds.
terminate() {
  local pid=$1 name=$2 rc=0
  kill -TERM "$pid"
  within 10 gone "$pid" || fail "$name still runs 10 s after SIGTERM"
  wait "$pid" || rc=$?
  [ "$rc" -eq 0 ] || fail "$name ended with $rc"
}

export USB_DEVICE_ROOT=$work/devices STATION_RUNTIME_DIR=$work/run TEMP=$work/temp TMPDIR=$work/temp
mkdir -p "$TEMP"
unset QT_QPA_PLATFORM
"$mkpackage" station --home "$work/home" >/dev/null
printf '[SYSTEM]\r\nMAX USB CONNECTION=12\r\n' >"$work/home/SYSTEM.ini"

mkfifo "$work/boards.in"
"$boardsim" --boards 2 --flash nor <"$work/boards.in" >"$work/boards.out" 2>"$work/boards.err" &
pids+=($!)
exec 3>"$work/boards.in"
within 10 boards_up || fail "the simulated boards did not come up"

"$station" --home "$work/home" 2>"$work/first.err" &
first=$!
pids+=($first)
within 20 locked || fail "the first station did not start"
within 20 watches_devices "$first" || fail "the first station watches no device folder"

"$station" --home "$work/home" 2>"$work/second.err" &
second=$!
pids+=($second)
within 20 refused || fail "the second station was not refused"
alive "$second" || fail "the second station's window did not stay"
watches_devices "$second" && fail "the second station watches the device folder"

terminate "$first" "the first station"
alive "$second" || fail "the second station ended with the first"
watches_devices "$second" && fail "the second station began to work"
terminate "$second" "the second station"
echo "quit" >&3
echo "station smoke test: 1 passed, 0 failed"
