#!/usr/bin/env bash
# Runs tallyglass on a private X server with the trayer tray host and a fake codex
# found through PATH, and checks what a user sees and what the fake receives.
#
#   tray-desktop-test.sh tray    TALLYGLASS FAKE_CODEX TOOLTIP_REFERENCE ARTIFACT_DIR
#   tray-desktop-test.sh signals TALLYGLASS FAKE_CODEX TOOLTIP_REFERENCE ARTIFACT_DIR
#
# "tray": the first reading docks an icon and shows the figures in the tooltip, a
# left click reads again, a middle click does nothing, a right click opens the menu
# (its screenshot lands in ARTIFACT_DIR) without reading, and SIGTERM ends the app
# leaving no codex behind.
# "signals": SIGTERM, SIGINT and SIGHUP each end the app in order, also when the
# codex child ignores SIGTERM, and no codex is left behind.
# TALLYGLASS_TEST_ARTIFACTS, when set, replaces ARTIFACT_DIR.
set -uo pipefail

case_name=${1:?case: tray or signals}
app=${2:?tallyglass executable}
fake=${3:?fake-codex executable}
reference=${4:?tooltip-reference executable}
artifacts=${TALLYGLASS_TEST_ARTIFACTS:-${5:?artifact directory}}

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/system/desktop/desktop-session.sh
source "$here/desktop-session.sh"

DS_WORK=$(mktemp -d "${TMPDIR:-/tmp}/tallyglass-desktop.XXXXXX")
mkdir -p "$artifacts"

finish() {
  local status=$?
  if ((status != 0)); then
    # Leave enough behind to see what went wrong.
    [ -n "${DISPLAY:-}" ] && import -window root "$artifacts/desktop-$case_name-failure.png" 2>/dev/null
    for log in app.err app.out transcript.txt trayer.log xvfb.log tooltip.png reference.png; do
      [ -f "$DS_WORK/$log" ] && cp "$DS_WORK/$log" "$artifacts/desktop-$case_name-$log"
    done
    ds_log "logs and a screenshot of the failure are in $artifacts"
  fi
  ds_cleanup
  rm -rf "$DS_WORK"
  exit "$status"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

transcript="$DS_WORK/transcript.txt"
scenario="$DS_WORK/scenario.json"

ds_require_tools
ds_require_no_installed_codex
for binary in "$app" "$fake" "$reference"; do
  [ -x "$binary" ] || ds_fail "not an executable: $binary"
done

ds_prepare_home "$fake"
# Automatic refresh off: every reading in this test is one the test asked for.
mkdir -p "$DS_WORK/config/brightfen"
printf '[General]\nrefreshIntervalSeconds=0\n' >"$DS_WORK/config/brightfen/tallyglass.conf"

ds_start_xvfb 1024 768
ds_start_bus # no StatusNotifierItem host on it: the icon docks in trayer through XEmbed
ds_start_trayer 32

received() { ds_count_received "$transcript" "$1"; }
received_at_least() { (($(received "$1") >= $2)); }

# A cycle is finished once the fake has answered the confirming account/read; the
# figures then reach the tray on the main thread.
wait_for_cycles() {
  local cycles=$1
  ds_wait_until 60 "$cycles reading cycle(s): account/read x$((2 * cycles)) and account/rateLimits/read x$cycles in the fake's transcript" \
    eval "received_at_least account/read $((2 * cycles)) && received_at_least account/rateLimits/read $cycles"
}

no_tooltip() { ! ds_has_tooltip; }

# tooltip_matches: hovers the icon and compares the app's tooltip with the
# reference program's tooltip (in reference_window).
tooltip_matches() {
  local x y tip
  xdotool mousemove 5 400
  ds_wait_until 15 "the previous tooltip to close" no_tooltip
  read -r x y < <(ds_icon_center)
  # After a click Qt shows a tooltip only once the pointer moves inside the icon,
  # so move within it until the tooltip is up.
  local deadline=$((SECONDS + 10)) step=0
  until tip=$(ds_tooltip_window); do
    ((SECONDS < deadline)) || return 1
    xdotool mousemove "$x" $((y + step % 3 - 1))
    step=$((step + 1))
    # Qt waits for the pointer to rest about 0.7 s before it shows a tooltip.
    for _ in $(seq 20); do
      sleep 0.1
      tip=$(ds_tooltip_window) && break
    done
    [ -n "$tip" ] && break
  done
  sleep 0.3 # let it paint
  ds_capture "$tip" "$DS_WORK/tooltip.png" || return 1
  ds_capture "$reference_window" "$DS_WORK/reference.png" || return 1
  [ "$(compare -metric AE "$DS_WORK/tooltip.png" "$DS_WORK/reference.png" null: 2>&1)" = 0 ]
}

# expect_tooltip TEXT: waits (bounded) until the hovered tooltip reads TEXT.
expect_tooltip() {
  local text=$1 reference_pid
  "$reference" "$text" 200 500 </dev/null >/dev/null 2>"$DS_WORK/reference.err" &
  reference_pid=$!
  DS_PIDS+=("$reference_pid")
  reference_window=""
  find_reference_window() { reference_window=$(xdotool search --onlyvisible --pid "$reference_pid" 2>/dev/null | head -n1) && [ -n "$reference_window" ]; }
  ds_wait_until 20 "the reference tooltip to appear" find_reference_window
  ds_wait_until 40 "the tray tooltip to read: ${text//$'\n'/ | }" tooltip_matches
  kill "$reference_pid" 2>/dev/null
  wait "$reference_pid" 2>/dev/null
}

capture_icon() { ds_capture "$(ds_tray_icon_window)" "$1"; }

# The icon must be legible: a dark tile with light glyphs (or the reverse) gives
# at least half the grey range between its darkest and lightest pixels.
expect_high_contrast() {
  local range
  range=$(convert "$1" -colorspace Gray -format '%[fx:maxima-minima]' info:)
  awk -v r="$range" 'BEGIN {exit !(r >= 0.5)}' || ds_fail "icon $1 lacks contrast (grey range $range)"
}

icons_differ() { [ "$(compare -metric AE "$1" "$2" null: 2>&1)" != 0 ]; }
icon_changed_from() { capture_icon "$DS_WORK/icon-now.png" && icons_differ "$1" "$DS_WORK/icon-now.png"; }

expect_no_codex_left() {
  local left
  left=$(ds_live_fakes "$transcript" | tr '\n' ' ')
  [ -z "$left" ] || ds_fail "codex process(es) still running after tallyglass ended: $left"
}

# ---------------------------------------------------------------------------
run_tray_case() {
  # One child for the whole run: the second reading reports 90 % used.
  cat >"$scenario" <<'EOF'
{"rules": [{"method": "account/rateLimits/read", "nth": 2, "actions": [{"result":
  {"rateLimits": {"limitId": "codex", "limitName": null,
    "primary": {"usedPercent": 90, "windowDurationMins": 300, "resetsAt": 1893456000},
    "secondary": {"usedPercent": 12, "windowDurationMins": 10080, "resetsAt": 1894060800},
    "credits": null, "planType": "plus"}}}]}]}
EOF
  ds_start_app "$app" "$scenario" "$transcript"
  DS_WATCH_APP=1
  ds_wait_until 30 "the tray icon to dock in trayer" ds_has_tray_icon
  wait_for_cycles 1

  # 37 % used of the five-hour window; 1893456000 is 2030-01-01 00:00 UTC.
  expect_tooltip $'63% (12:00 AM)\n5시간 한도 남음'
  import -window root "$artifacts/desktop-tooltip.png"
  capture_icon "$DS_WORK/icon-first.png"
  expect_high_contrast "$DS_WORK/icon-first.png"
  ds_log "first reading shown in the icon and tooltip"

  local x y
  read -r x y < <(ds_icon_center)
  xdotool mousemove "$x" "$y" click 1
  wait_for_cycles 2
  ds_wait_until 20 "the icon to show the second reading" icon_changed_from "$DS_WORK/icon-first.png"
  expect_high_contrast "$DS_WORK/icon-now.png"
  expect_tooltip $'10% (12:00 AM)\n5시간 한도 남음'
  ds_log "left click read again"

  local reads_before
  reads_before=$(received account/read)
  read -r x y < <(ds_icon_center)
  xdotool mousemove "$x" "$y" click 2
  xdotool mousemove "$x" "$y" click 3
  ds_wait_until 20 "the menu to open after a right click" ds_has_menu
  sleep 0.5 # let it paint
  local menu
  menu=$(ds_menu_window)
  ds_capture "$menu" "$artifacts/desktop-menu-only.png"
  import -window root "$artifacts/desktop-menu.png"
  # A menu with text on it, not an empty rectangle.
  local dark
  dark=$(convert "$artifacts/desktop-menu-only.png" -colorspace Gray -threshold 50% -format '%[fx:(1-mean)*w*h]' info:)
  awk -v d="$dark" 'BEGIN {exit !(d >= 200)}' || ds_fail "the open menu shows no text ($dark dark pixels)"
  ds_log "menu open; screenshot in $artifacts/desktop-menu.png"

  xdotool key Escape
  no_menu() { ! ds_has_menu; }
  ds_wait_until 10 "the menu to close on Escape" no_menu
  # Middle and right clicks must not have asked for a reading; give a stray one time to show.
  sleep 1
  (($(received account/read) == reads_before)) ||
    ds_fail "a middle or right click asked for a reading (account/read $reads_before -> $(received account/read))"

  DS_WATCH_APP=""
  kill -TERM "$DS_APP_PID"
  ds_wait_app_exit 15
  ((DS_APP_EXITED == 0)) || ds_fail "tallyglass exited with status $DS_APP_EXITED after SIGTERM"
  expect_no_codex_left
  grep -qE '^[0-9]+ (eof|sigterm)' "$transcript" || ds_fail "the codex child was never told to stop (no eof or sigterm in its transcript)"
  ds_log "SIGTERM: tallyglass exited 0 and no codex is left"
}

# ---------------------------------------------------------------------------
run_signals_case() {
  # A child that ignores SIGTERM and keeps running past the end of its input: only
  # the client's SIGKILL ends it.
  cat >"$scenario" <<'EOF'
{"ignoreSigterm": true, "onEof": []}
EOF
  local signal round=0
  for signal in TERM INT HUP; do
    round=$((round + 1))
    ds_start_app "$app" "$scenario" "$transcript"
    DS_WATCH_APP=1
    ds_wait_until 30 "the tray icon to dock in trayer (SIG$signal round)" ds_has_tray_icon
    wait_for_cycles "$round"
    DS_WATCH_APP=""
    kill -"$signal" "$DS_APP_PID"
    ds_wait_app_exit 20
    ((DS_APP_EXITED == 0)) || ds_fail "tallyglass exited with status $DS_APP_EXITED after SIG$signal"
    expect_no_codex_left
    grep -q "^$round sigterm" "$transcript" || ds_fail "child $round got no SIGTERM after SIG$signal to tallyglass"
    ds_log "SIG$signal: tallyglass exited 0 and the stubborn codex is gone"
  done
}

case "$case_name" in
  tray) run_tray_case ;;
  signals) run_signals_case ;;
  *) ds_fail "unknown case: $case_name" ;;
esac
