#!/usr/bin/env bash
# The tray's resident memory against a bare Qt tray app (bare-tray: an icon and a menu
# of the same shape, nothing else). Each round starts both side by side on a private X
# server with the trayer tray host and a session bus: the tray in a throwaway home with
# the fake codex first on PATH, once its first reading is in and both have settled.
# Prints each round's VmRSS, the medians and their ratio; with --smaps, where the
# difference lies (resident kB per library, heap, stacks and anonymous mappings).
#
#   bench/app/run-tray-memory-bench.sh [BUILD_DIR] [--rounds N] [--rest S] [--smaps] [--tray PROGRAM]
#   (BUILD_DIR defaults to build/release; --rest waits S more seconds before measuring,
#   so that Qt's pooled threads have ended; --tray measures another build of the tray)
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/release
if (($#)) && [ "${1#--}" = "$1" ]; then
  build=$(cd "$1" && pwd) || exit 2 # absolute: the fake's link must resolve from the home
  shift
fi
rounds=3
rest=0
smaps=""
tray=$build/app/tallyglass
while (($#)); do
  case $1 in
  --rounds) rounds=$2; shift 2 ;;
  --rest) rest=$2; shift 2 ;;
  --smaps) smaps=1; shift ;;
  --tray) tray=$2; shift 2 ;;
  *) echo "usage: $0 [BUILD_DIR] [--rounds N] [--rest S] [--smaps] [--tray PROGRAM]" >&2; exit 2 ;;
  esac
done
bare=$build/bench/app/bare-tray
fake=$build/tests/doubles/fake-codex/fake-codex

# shellcheck source=tests/system/desktop/desktop-session.sh
source "$root/tests/system/desktop/desktop-session.sh"

ds_require_built "$build" "tallyglass bare-tray fake-codex" "$tray" "$bare" "$fake"
ds_make_work memory
base=$DS_WORK # each round works in a folder of its own below it

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }

# Waits (bounded) until the RSS of PID has not changed for a second.
wait_settled() {
  local pid=$1 last="" now same=0 deadline=$((SECONDS + 20))
  while ((SECONDS < deadline)); do
    now=$(rss_kb "$pid")
    [ -n "$now" ] || ds_fail "process $pid ended while settling"
    if [ "$now" = "$last" ]; then
      same=$((same + 1))
      ((same >= 5)) && return 0
    else
      same=0
    fi
    last=$now
    sleep 0.2
  done
  ds_log "RSS of $pid still moving after 20 s; measuring anyway"
}

# Resident kB of PID per mapping: libraries by file name, the rest by kind.
smaps_rollup() {
  awk '
    /^[0-9a-f]+-[0-9a-f]+ / {
      name = $6
      if (name == "") name = "[anonymous]"
      else if (name ~ /^\[stack/) name = "[stack]"
      else { n = split(name, part, "/"); name = part[n] }
      next
    }
    /^Rss:/ { kb[name] += $2 }
    END { for (n in kb) if (kb[n] > 0) print kb[n], n }' "/proc/$1/smaps"
}

first_reading_in() { (($(ds_count_received "$transcript" account/rateLimits/read) >= 1)); }

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

tray_values=()
bare_values=()
for ((round = 1; round <= rounds; round++)); do
  DS_WORK=$base/round$round
  mkdir -p "$DS_WORK"
  ds_start_xvfb 1024 768
  ds_start_bus # no StatusNotifierItem host on it: both icons dock in trayer through XEmbed
  ds_start_trayer 32

  # Each program gets its own scratch folder for its home and its output.
  DS_WORK=$base/round$round/tray
  mkdir -p "$DS_WORK"
  ds_prepare_home "$fake"
  echo '{}' >"$DS_WORK/scenario.json"
  transcript=$DS_WORK/transcript.log
  ds_start_app "$tray" "$DS_WORK/scenario.json" "$transcript"
  tray_pid=$DS_APP_PID
  DS_WATCH_APP=1
  ds_wait_until 30 "the tray icon to dock" ds_has_tray_icon
  ds_wait_until 60 "the tray's first reading (account/rateLimits/read in the fake's transcript)" first_reading_in
  DS_WATCH_APP=""

  DS_WORK=$base/round$round/bare
  mkdir -p "$DS_WORK"
  ds_prepare_home "$fake"
  ds_start_app "$bare" /dev/null ""
  bare_pid=$DS_APP_PID
  ds_wait_until 30 "the bare tray icon to dock" ds_has_tray_icon

  sleep "$rest"
  wait_settled "$tray_pid"
  wait_settled "$bare_pid"
  tray_kb=$(rss_kb "$tray_pid")
  bare_kb=$(rss_kb "$bare_pid")
  tray_values+=("$tray_kb")
  bare_values+=("$bare_kb")
  printf 'round %d: tray %d kB, bare %d kB, ratio %.3f\n' "$round" "$tray_kb" "$bare_kb" \
    "$(echo "$tray_kb / $bare_kb" | bc -l)"

  if [ -n "$smaps" ] && ((round == rounds)); then
    echo "resident kB by mapping, tray against bare (largest differences first):"
    join -j 2 -a 1 -a 2 -e 0 -o 0,1.1,2.1 \
      <(smaps_rollup "$tray_pid" | sort -k 2) <(smaps_rollup "$bare_pid" | sort -k 2) |
      awk '{printf "%8d %8d %+8d  %s\n", $2, $3, $2 - $3, $1}' | sort -k 3 -n -r | awk '$3 != 0'
    echo "threads of the tray: $(cat /proc/"$tray_pid"/task/*/comm | tr "\n" " ")"
    echo "threads of the bare app: $(cat /proc/"$bare_pid"/task/*/comm | tr "\n" " ")"
  fi
  ds_cleanup
done

tray_median=$(printf '%s\n' "${tray_values[@]}" | median)
bare_median=$(printf '%s\n' "${bare_values[@]}" | median)
printf 'median VmRSS of %d rounds: tray %d kB (%.1f MB), bare Qt tray %d kB (%.1f MB), ratio %.3f\n' \
  "$rounds" "$tray_median" "$(echo "$tray_median / 1024" | bc -l)" "$bare_median" \
  "$(echo "$bare_median / 1024" | bc -l)" "$(echo "$tray_median / $bare_median" | bc -l)"
