#!/usr/bin/env bash
# What a codex that floods `account/updated` and never answers `initialize` does to the
# tray and to tallyglass-status. Prints figures; exits non-zero only when it could not
# measure. Every wait is bounded, and everything started here is killed at the end.
#
#   bench/client/run-flood-bench.sh [BUILD_DIR] [FLOOD_SECONDS]
#   (BUILD_DIR defaults to build/release, FLOOD_SECONDS to 18)
#
# 1. the tray's peak RSS (VmHWM) after a reading against a quiet fake, and after
#    FLOOD_SECONDS of flood;
# 2. from SIGTERM during that flood until the tray and its codex are both gone;
# 3. the initialize time-out (20 s): from start until tallyglass-status prints the
#    time-out text, and until the tray's client acts on it. The tray cannot show a
#    status without a desktop, so that moment is read from the fake's transcript: the
#    client closes the child's standard input on the time-out, and the fake records
#    `eof`. The text reaches the tray's menu only once its main thread has handled
#    every delivery queued before it, so the script also reports when the main thread's
#    CPU time stops growing.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
# Absolute, since the fake is linked into a folder of its own.
build=$(cd "${1:-$root/build/release}" && pwd)
flood_seconds=${2:-18}
tray="$build/app/tallyglass"
console="$build/console/tallyglass-status"
fake="$build/tests/doubles/fake-codex/fake-codex"
timeout_text='Codex 초기화 시간 초과 — 새로고침으로 재연결'
limit=120 # seconds any one wait may take

fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

for binary in "$tray" "$console" "$fake"; do
  [ -x "$binary" ] || fail "$binary is not built (cmake --build $build --target tallyglass tallyglass-status fake-codex)"
done
home=$(getent passwd "$(id -u)" | cut -d: -f6)
for candidate in "$home/.local/bin/codex" /opt/homebrew/bin/codex /usr/local/bin/codex "$home/.npm-global/bin/codex"; do
  if [ -e "$candidate" ] || [ -L "$candidate" ]; then
    fail "$candidate exists; the client would run it instead of the fake"
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/tallyglass-flood.XXXXXX")
mkdir -p "$work/bin"
ln -s "$fake" "$work/bin/codex"
echo '{}' >"$work/quiet.json"
cat >"$work/flood.json" <<'EOF'
{"onStart": [{"flood": {"method": "account/updated"}}],
 "rules": [{"method": "initialize", "actions": []}]}
EOF

now() { echo "$EPOCHREALTIME"; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

state_of() { awk '{print $3}' "/proc/$1/stat" 2>/dev/null; }
# Alive: present and not a zombie (PID 1 here may be slow to reap orphans).
alive() {
  local state
  state=$(state_of "$1")
  [ -n "$state" ] && [ "$state" != Z ]
}
# Every live process started for this run: its environment names the work directory.
ours() {
  local dir pid
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$pid" = "$$" ] && continue
    tr '\0' '\n' 2>/dev/null <"$dir/environ" | grep -q "^FAKE_CODEX_SCENARIO=$work/" && alive "$pid" && echo "$pid"
  done
}
cleanup() {
  local pid
  for pid in $(ours); do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

peak_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f MB", k / 1024 }'; }
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/task/$1/stat" 2>/dev/null; }
# The pid of launch 1 of the fake, from its transcript.
fake_pid() { awk '$1 == 1 && $2 == "start" {print $4; exit}' "$1" 2>/dev/null; }
has_line() { [ -f "$1" ] && grep -q "^1 $2" "$1"; }

# wait_for SECONDS command...: polls every 20 ms; false when the time ran out.
wait_for() {
  local deadline
  deadline=$(awk -v t="$(now)" -v s="$1" 'BEGIN { printf "%.3f", t + s }')
  shift
  until "$@"; do
    awk -v t="$(now)" -v d="$deadline" 'BEGIN { exit !(t >= d) }' && return 1
    sleep 0.02
  done
}

# start_tray NAME SCENARIO: starts the tray in a fresh home; sets tray_pid.
start_tray() {
  local name=$1 scenario=$2 dir="$work/$1"
  mkdir -p "$dir/home" "$dir/config" "$dir/runtime"
  chmod 700 "$dir/runtime"
  env -i PATH="$work/bin:/usr/bin:/bin" HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" \
    XDG_RUNTIME_DIR="$dir/runtime" QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 TZ=UTC \
    FAKE_CODEX_SCENARIO="$scenario" FAKE_CODEX_TRANSCRIPT="$dir/transcript" \
    "$tray" </dev/null >"$dir/out" 2>"$dir/err" &
  tray_pid=$!
}
stop_pid() {
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}
tray_and_fake_gone() { ! alive "$tray_pid" && ! alive "$fake_now"; }

echo "flood bench: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

# 1a. Idle: one reading against the quiet fake, then a few quiet seconds.
start_tray idle "$work/quiet.json"
wait_for 30 has_line "$work/idle/transcript" 'in .*rateLimits/read' || fail "the tray read no usage from the quiet fake"
sleep 5
idle_kb=$(peak_kb "$tray_pid")
stop_pid "$tray_pid"
echo "tray idle peak RSS:                   $(mb "$idle_kb")"

# 1b and 2. Flood, then SIGTERM while it goes on.
start_tray flood "$work/flood.json"
wait_for 30 has_line "$work/flood/transcript" start || fail "the tray started no codex"
fake_now=$(fake_pid "$work/flood/transcript")
sleep "$flood_seconds"
flood_kb=$(peak_kb "$tray_pid")
has_line "$work/flood/transcript" eof && echo "note: the client had already dropped the flooding child"
echo "tray peak RSS after ${flood_seconds} s of flood:     $(mb "$flood_kb")"
term_start=$(now)
kill -TERM "$tray_pid"
if wait_for "$limit" tray_and_fake_gone; then
  echo "SIGTERM during the flood until the tray and its codex are gone: $(since "$term_start") s"
else
  echo "SIGTERM during the flood until the tray and its codex are gone: more than $limit s (killed)"
fi
stop_pid "$tray_pid"
stop_pid "$fake_now"

# 3a. tallyglass-status: the time-out text on standard output.
console_start=$(now)
env -i PATH="$work/bin:/usr/bin:/bin" HOME="$work/home" LANG=C.UTF-8 \
  FAKE_CODEX_SCENARIO="$work/flood.json" FAKE_CODEX_TRANSCRIPT="$work/console-transcript" \
  timeout -s KILL "$limit" "$console" --timeout "$limit" </dev/null 2>"$work/console.err" |
  { grep -m1 -qF "$timeout_text" && now >"$work/console.hit"; }
if [ -s "$work/console.hit" ]; then
  echo "tallyglass-status: initialize time-out shown after $(awk -v a="$console_start" -v b="$(cat "$work/console.hit")" 'BEGIN { printf "%.2f", b - a }') s"
else
  echo "tallyglass-status: no initialize time-out within $limit s"
fi
for pid in $(ours); do kill -KILL "$pid" 2>/dev/null; done

# 3b. The tray: the client acts on the time-out (the fake sees end of input), then
# its main thread works through the deliveries queued before the text.
start_tray timeout "$work/flood.json"
tray_start=$(now)
if wait_for "$limit" has_line "$work/timeout/transcript" eof; then
  echo "tray: initialize time-out acted on after $(since "$tray_start") s (the fake's end of input)"
  previous=$(cpu_ticks "$tray_pid")
  quiet=0
  drained=""
  for _ in $(seq $((limit * 4))); do
    sleep 0.25
    ticks=$(cpu_ticks "$tray_pid")
    [ -n "$ticks" ] || break
    if ((ticks - previous <= 1)); then quiet=$((quiet + 1)); else quiet=0; fi
    previous=$ticks
    if ((quiet >= 4)); then
      drained=$(awk -v s="$(since "$tray_start")" 'BEGIN { printf "%.2f", s - 1 }')
      break
    fi
  done
  if [ -n "$drained" ]; then
    echo "tray: main thread idle again (text shown) after about $drained s"
  else
    echo "tray: main thread still busy after $limit more seconds"
  fi
else
  echo "tray: no initialize time-out acted on within $limit s"
fi
stop_pid "$tray_pid"

leftovers=$(ours)
[ -z "$leftovers" ] || echo "left running (killed now): $leftovers"
