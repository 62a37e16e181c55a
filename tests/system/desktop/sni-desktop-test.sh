#!/usr/bin/env bash
# tallyglass and tallyglass-status with real StatusNotifierItem hosts and status bars,
# each on a private session bus, against the fake codex:
#
#   sni-desktop-test.sh lxqt|late|waybar|polybar|xfce|gnome|kde TALLYGLASS TALLYGLASS_STATUS FAKE_CODEX ARTIFACT_DIR
#
# lxqt: lxqt-panel under Xvfb, there first. late: trayer (XEmbed) first, lxqt-panel
# after, five times. waybar: headless sway without XWayland, the app on native Wayland,
# a --format waybar module. polybar: Xvfb, a --format text module. xfce, gnome, kde:
# the whole desktop's tray started after the app, and restarted. Each case says
# below what it checks. Run as root, the waybar case runs itself as the unprivileged
# user TALLYGLASS_TEST_USER (default tallyglass-test), since sway refuses root.
set -uo pipefail

case_name=${1:?case: lxqt, late, waybar or polybar}
app=${2:?tallyglass executable}
status_program=${3:?tallyglass-status executable}
fake=${4:?fake-codex executable}
artifacts=${TALLYGLASS_TEST_ARTIFACTS:-${5:?artifact directory}}

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/system/desktop/desktop-session.sh
source "$here/desktop-session.sh"
export NO_AT_BRIDGE=1
mkdir -p "$artifacts"

for tool in busctl dbus-daemon dbus-monitor lxqt-panel waybar sway grim polybar setpriv /usr/bin/python3; do
  command -v "$tool" >/dev/null 2>&1 || ds_fail "missing host program: $tool (tools/setup-debian.sh installs it)"
done
# A whole desktop is large; without it its case is skipped (ctest's SKIP_RETURN_CODE).
case "$case_name" in
  xfce) desktop_needs=(xfce4-panel) ;;
  gnome) desktop_needs=(gnome-shell gsettings /usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com) ;;
  kde) desktop_needs=(plasmashell kded5 /usr/share/plasma/layout-templates/org.kde.plasma.desktop.defaultPanel) ;;
  *) desktop_needs=() ;;
esac
for tool in "${desktop_needs[@]}"; do
  [ -e "$tool" ] || command -v "$tool" >/dev/null 2>&1 ||
    { echo "SKIP: $case_name: $tool is not installed (tools/setup-debian.sh installs it)"; exit 77; }
done

# As root, the Wayland case runs as an unprivileged user from copies it can read.
if [ "$case_name" = waybar ] && [ "$(id -u)" -eq 0 ]; then
  user=${TALLYGLASS_TEST_USER:-tallyglass-test}
  id "$user" >/dev/null 2>&1 ||
    ds_fail "sway will not run as root and user $user does not exist (useradd --create-home $user)"
  stage=$(mktemp -d /tmp/tallyglass-stage.XXXXXX)
  trap 'rm -rf "$stage"' EXIT
  cp "$app" "$status_program" "$fake" "$here"/*.sh "$stage/"
  mkdir "$stage/artifacts"
  chmod -R a+rX "$stage"
  chown "$user" "$stage/artifacts"
  setpriv --reuid="$user" --regid="$user" --init-groups \
    env -i PATH=/usr/bin:/bin HOME="$(getent passwd "$user" | cut -d: -f6)" LANG=C.UTF-8 \
    ${ASAN_OPTIONS:+ASAN_OPTIONS=detect_leaks=0} \
    TALLYGLASS_TEST_ARTIFACTS="$stage/artifacts" \
    bash "$stage/sni-desktop-test.sh" waybar "$stage/$(basename "$app")" "$stage/$(basename "$status_program")" \
    "$stage/$(basename "$fake")" "$stage/artifacts" </dev/null
  status=$?
  cp "$stage"/artifacts/* "$artifacts/" 2>/dev/null
  exit "$status"
fi

DS_WORK=$(mktemp -d "${TMPDIR:-/tmp}/tallyglass-sni.XXXXXX")
chmod 755 "$DS_WORK"
finish() {
  local status=$?
  if ((status != 0)); then
    for log in app.err app.out transcript.txt panel.log kded.log waybar.log sway.log polybar.log monitor.log waybar.png polybar.png shot.png; do
      [ -f "$DS_WORK/$log" ] && cp "$DS_WORK/$log" "$artifacts/sni-$case_name-$log"
    done
    ds_log "logs of the failure are in $artifacts"
  fi
  ds_cleanup
  stop_bus_helpers
  rm -rf "$DS_WORK"
  exit "$status"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

transcript="$DS_WORK/transcript.txt"
bar_transcript="$DS_WORK/bar-transcript.txt" # of the codex that a bar's tallyglass-status runs
ds_require_no_installed_codex
ds_prepare_home "$fake"
mkdir -p "$DS_WORK/config/brightfen"
# Automatic refresh off: every reading is one the test asked for; "끄기" is the checked interval.
printf '[General]\nrefreshIntervalSeconds=0\n' >"$DS_WORK/config/brightfen/tallyglass.conf"
printf '{}\n' >"$DS_WORK/scenario.json"

received() { ds_count_received "$transcript" "$1"; }
reads_above() { (($(received account/rateLimits/read) > $1)); }

bus() { busctl --user "$@"; }
watcher_get() {
  bus --json=short get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.kde.StatusNotifierWatcher "$1" 2>/dev/null
}
host_ready() { watcher_get IsStatusNotifierHostRegistered | grep -q '"data":true'; }
# The registered items, one "service path" per line.
items() {
  watcher_get RegisteredStatusNotifierItems | /usr/bin/python3 -c '
import json, sys
for entry in json.load(sys.stdin)["data"]:
    service, _, path = entry.partition("/")  # GNOME Shell writes "service@/path"
    print(service.rstrip("@"), "/" + path if path else "/StatusNotifierItem")' 2>/dev/null
}
item_count() { items | grep -c . ; }
has_items() { (($(item_count) >= ${1:-1})); }
item_service() { items | head -n1 | cut -d' ' -f1; }
item_path() { items | head -n1 | cut -d' ' -f2; }
item_get() { bus --json=short get-property "$(item_service)" "$(item_path)" org.kde.StatusNotifierItem "$1"; }
item_call() { bus call "$(item_service)" "$(item_path)" org.kde.StatusNotifierItem "$@"; }

# ToolTip (sa(iiay)ss): prints its title.
tooltip_title() {
  item_get ToolTip | /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["data"][2])'
}
tooltip_reads() { [ "$(tooltip_title)" = "$1" ]; }

# The menu as "id<TAB>enabled<TAB>toggle-state<TAB>label" lines, submenus indented by a tab.
menu_layout() {
  local menu
  menu=$(item_get Menu | /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["data"])')
  bus call "$(item_service)" "$menu" com.canonical.dbusmenu AboutToShow i 0 >/dev/null
  bus --json=short call "$(item_service)" "$menu" com.canonical.dbusmenu GetLayout iias -- 0 -1 0 |
    /usr/bin/python3 -c '
import json, sys
def walk(node, depth):
    ident, props, children = node
    if depth >= 0 and props.get("type", {}).get("data") != "separator":
        label = props.get("label", {}).get("data", "")
        enabled = props.get("enabled", {}).get("data", True)
        state = props.get("toggle-state", {}).get("data", -1)
        print("\t" * depth + f"{ident}\t{int(enabled)}\t{state}\t{label}")
    for child in children:
        walk(child["data"], depth + 1)
walk(json.load(sys.stdin)["data"][1], -1)'
  echo "$menu" >"$DS_WORK/menu-path"
}
menu_click() { # menu_click LABEL: the dbusmenu "clicked" event on the item with that label
  local id
  id=$(menu_layout | awk -F'\t' -v l="$1" '$NF == l {print $(NF-3); exit}')
  [ -n "$id" ] || ds_fail "no menu item labelled $1"
  bus call "$(item_service)" "$(cat "$DS_WORK/menu-path")" com.canonical.dbusmenu Event isvu "$id" clicked s "" 0
}

# badge_sheet FILE: the item's icon as a host receives it, at 16, 22, 24 and 32 px, on a
# dark and on a light panel, each shown at 1:1 and four times enlarged.
badge_sheet() {
  item_get IconPixmap | /usr/bin/python3 -c '
import json, sys
images = {w: bytes(data) for w, h, data in json.load(sys.stdin)["data"]}
zoom, gap = 4, 8
cells = [(size, scale) for size in (16, 22, 24, 32) for scale in (1, zoom)]
width = sum(size * scale + 2 * gap for size, scale in cells)
row = 32 * zoom + 2 * gap
pixels = bytearray()
for panel in ((0x20, 0x20, 0x20), (0xf2, 0xf2, 0xf2)):
    for y in range(row):
        for size, scale in cells:
            argb = images[size]
            for x in range(size * scale + 2 * gap):
                px, py = x - gap, y - gap
                colour = panel
                if 0 <= px < size * scale and 0 <= py < size * scale:
                    i = ((py // scale) * size + px // scale) * 4
                    a, r, g, b = argb[i:i + 4]
                    colour = [(c * a + p * (255 - a)) // 255 for c, p in zip((r, g, b), panel)]
                pixels += bytes(colour)
sys.stdout.buffer.write(b"P6 %d %d 255\n" % (width, 2 * row) + bytes(pixels))
' | convert ppm:- "$1"
}

start_lxqt_panel() {
  mkdir -p "$DS_WORK/panel-home"
  cat >"$DS_WORK/panel.conf" <<'EOF'
[General]
panels=panel1
[panel1]
plugins=statusnotifier
position=Top
panelSize=32
iconSize=22
[statusnotifier]
type=statusnotifier
EOF
  env -i PATH=/usr/bin:/bin HOME="$DS_WORK/panel-home" DISPLAY="$DISPLAY" XDG_RUNTIME_DIR="$DS_WORK/runtime" \
    DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" NO_AT_BRIDGE=1 QT_QPA_PLATFORM=xcb LANG=C.UTF-8 \
    lxqt-panel -c "$DS_WORK/panel.conf" </dev/null >>"$DS_WORK/panel.log" 2>&1 &
  PANEL_PID=$!
  DS_PIDS+=("$PANEL_PID")
}
stop_pid() { kill -TERM "$1" 2>/dev/null; ds_wait_until 10 "process $1 to end" ds_pid_gone "$1"; wait "$1" 2>/dev/null; }

expect_no_process_left() { # expect_no_process_left PID...: neither these nor any codex of the session
  local pid left
  for pid in "$@"; do ds_pid_gone "$pid" || ds_fail "process $pid ($(ps -o args= -p "$pid")) was left running"; done
  left=$(ds_live_fakes "$transcript" | tr '\n' ' ')
  [ -z "$left" ] || ds_fail "codex process(es) left running: $left"
}

# The item's properties and its menu, as a host reads them, after the first reading.
expect_item_and_menu() {
  ds_wait_until 10 "the tooltip to show the reading" tooltip_reads $'63% (12:00 AM)\n5시간 한도 남음'
  [ "$(item_get Title)" = '{"type":"s","data":"Tallyglass"}' ] || ds_fail "title is $(item_get Title)"
  item_get Status | grep -q Active || ds_fail "status is $(item_get Status)"
  local sizes
  sizes=$(item_get IconPixmap | /usr/bin/python3 -c 'import json, sys; print(*sorted(w for w, h, d in json.load(sys.stdin)["data"]))')
  [[ " $sizes " == *" 16 22 24 32 48 64 "* ]] || ds_fail "the icon comes in sizes $sizes"

  local layout
  layout=$(menu_layout)
  printf '%s\n' "$layout" >"$artifacts/sni-$case_name-menu.txt"
  expect_line() { grep -qP "$1" <<<"$layout" || ds_fail "menu lacks $2; it reads:"$'\n'"$layout"; }
  expect_line '^\d+\t0\t-1\t5h 남음: 63%$' '"5h 남음: 63%" (disabled)'
  expect_line '^\d+\t0\t-1\tWeek 남음: 88%$' '"Week 남음: 88%" (disabled)'
  expect_line '^\d+\t1\t-1\t새로고침$' '"새로고침" (enabled)'
  expect_line '^\t\d+\t1\t1\t끄기$' 'the checked "끄기" in "자동 갱신"'
  expect_line '^\t\d+\t1\t0\t1분$' 'an unchecked "1분"'
  expect_line '^\d+\t1\t-1\t종료$' '"종료"'
}

# ---------------------------------------------------------------------------
run_lxqt_case() {
  ds_start_xvfb 800 200
  ds_start_bus
  start_lxqt_panel
  ds_wait_until 20 "lxqt-panel to register as StatusNotifierItem host" host_ready
  # The whole answer of a current Codex CLI: another bucket, credits and banked resets.
  local codex='"limitId": "codex", "primary": {"usedPercent": 37, "windowDurationMins": 300, "resetsAt": 1893456000},
    "secondary": {"usedPercent": 12, "windowDurationMins": 10080, "resetsAt": 1894060800},
    "credits": {"hasCredits": true, "unlimited": false, "balance": "125.5"}, "planType": "plus"'
  cat >"$DS_WORK/whole-allowance.json" <<EOF
{"rules": [{"method": "account/rateLimits/read", "actions": [{"result": {"rateLimits": {$codex},
  "rateLimitsByLimitId": {"codex": {$codex}, "codex_bengalfox": {"limitId": "codex_bengalfox",
    "limitName": "GPT-5.3-Codex-Spark", "primary": {"usedPercent": 40, "windowDurationMins": 300, "resetsAt": 1893456000}}},
  "rateLimitResetCredits": {"availableCount": 2, "credits": [{"id": "rlrc-soon", "status": "available", "expiresAt": 1893456000}]}}}]},
  {"method": "account/rateLimitResetCredit/consume",
   "actions": [{"recordFile": "$DS_WORK/home/.local/state/tallyglass/pending-reset"}, {"preset": true}]}]}
EOF
  ds_start_app "$app" "$DS_WORK/whole-allowance.json" "$transcript"
  DS_WATCH_APP=1
  ds_wait_until 5 "the item to register with lxqt-panel's watcher" has_items
  item_get IconPixmap | grep -q '"data":\[\[' || ds_fail "the item has no icon before the first reading"
  ds_wait_until 30 "the first reading" reads_above 0
  expect_item_and_menu
  local layout
  layout=$(menu_layout)
  expect_line '^\d+\t0\t-1\t크레딧 잔액: 125.5$' '"크레딧 잔액: 125.5" (disabled)'
  expect_line '^\d+\t0\t-1\t한도 리셋 2개$' '"한도 리셋 2개" (disabled)'
  expect_line '^\d+\t0\t-1\t한도 리셋 만료까지: \d+일 \d+시간$' "the banked reset's expiry (disabled)"
  expect_line '^\d+\t1\t-1\tGPT-5.3-Codex-Spark$' 'the submenu of the other bucket'
  expect_line '^\t\d+\t0\t-1\t5h 남음: 60%$' '"5h 남음: 60%" in that submenu'
  expect_line '^\d+\t1\t-1\t한도 리셋 사용…$' '"한도 리셋 사용…" (enabled)'

  # The confirmation's default is 취소: Enter spends nothing.
  menu_click "한도 리셋 사용…" >/dev/null
  local confirm=""
  find_confirm() { confirm=$(xdotool search --onlyvisible --pid "$DS_APP_PID" --name '^한도 리셋 사용$' 2>/dev/null | head -n1) && [ -n "$confirm" ]; }
  ds_wait_until 10 "the confirmation to open" find_confirm
  xdotool windowfocus --sync "$confirm" key Return
  confirm_gone() { ! find_confirm; }
  ds_wait_until 10 "the confirmation to close" confirm_gone
  menu_layout >/dev/null # a round trip through the app's event loop
  (($(received account/rateLimitResetCredit/consume) == 0)) || ds_fail "Enter in the confirmation spent a banked reset"

  # The app's own status text beside the reading (an interval out of range typed in
  # 직접 설정…): the title gains " !" and the icon keeps the figure on an amber tile.
  menu_click "직접 설정…" >/dev/null
  local dialog=""
  find_dialog() { dialog=$(xdotool search --onlyvisible --pid "$DS_APP_PID" --name '^Tallyglass$' 2>/dev/null | head -n1) && [ -n "$dialog" ]; }
  ds_wait_until 10 "the interval dialog to open" find_dialog
  xdotool windowfocus --sync "$dialog" type 5
  xdotool key --window "$dialog" Return
  ds_wait_until 10 "the tooltip to show the status text beside the reading" \
    tooltip_reads $'63% (12:00 AM) !\n자동 갱신은 30~86400초 사이여야 함'
  item_get IconPixmap | /usr/bin/python3 -c '
import json, sys
images = {w: bytes(data) for w, h, data in json.load(sys.stdin)["data"]}
for size in (16, 22, 24, 32):
    argb = images[size]
    amber = sum(1 for i in range(0, len(argb), 4) if argb[i:i + 4] == bytes([255, 255, 176, 32]))
    dark = sum(1 for i in range(0, len(argb), 4) if argb[i] == 255 and max(argb[i + 1:i + 4]) < 40)
    if amber < size * size // 3 or dark < size:
        sys.exit(f"{size} px: {amber} amber and {dark} dark pixels; not a figure on an amber tile")
' || ds_fail "the icon does not show the marked figure"
  badge_sheet "$artifacts/badge-sizes.png"
  sleep 0.5 # let the panel draw the new icon
  import -window root -crop 800x32+0+0 +repage "$artifacts/lxqt-panel-marked.png"
  ds_log "a status text beside the reading: the title reads '63% (12:00 AM) !' and the icon keeps 63, marked"

  item_call Activate ii 0 0 >/dev/null
  ds_wait_until 10 "Activate to read again" reads_above 1
  menu_click 새로고침 >/dev/null
  ds_wait_until 10 "the menu's 새로고침 to read again" reads_above 2
  import -window root -crop 800x32+0+0 +repage "$artifacts/lxqt-panel.png"
  ds_log "properties, menu, Activate and 새로고침 work"

  # 사용 spends the soonest-expiring banked reset under a key kept until the outcome; a
  # reading follows at once.
  ds_wait_until 10 "the reading to be shown again" tooltip_reads $'63% (12:00 AM)\n5시간 한도 남음'
  local reads attempt
  reads=$(received account/rateLimits/read)
  # Under Xvfb without a window manager a stray Return at times reaches the dialog as it
  # opens, which cancels it (nothing spent); then it is opened once more.
  confirm_opens() { # like find_confirm, waiting up to 5 s
    local deadline=$((SECONDS + 5))
    until find_confirm; do ((SECONDS < deadline)) || return 1; sleep 0.1; done
  }
  for attempt in 1 2 3; do
    menu_click "한도 리셋 사용…" >/dev/null
    if confirm_opens; then
      xdotool windowfocus --sync "$confirm" key Tab space 2>/dev/null || true
      ds_wait_until 10 "the confirmation to close" confirm_gone
    fi
    (($(received account/rateLimitResetCredit/consume) == 0)) || break
    ds_log "the confirmation closed unanswered (attempt $attempt)"
  done
  ds_wait_until 10 "the reading after the reset" reads_above "$reads"
  grep -q '"method":"account/rateLimitResetCredit/consume".*"creditId":"rlrc-soon"' "$transcript" ||
    grep -q '"creditId":"rlrc-soon".*"method":"account/rateLimitResetCredit/consume"' "$transcript" ||
    ds_fail "no consume request for rlrc-soon; the fake received: $(grep -o '"method":"[^"]*"' "$transcript" | sort | uniq -c)"
  grep -q '^[0-9]* file {"creditId":"rlrc-soon","idempotencyKey":"[-0-9a-f]*"}$' "$transcript" ||
    ds_fail "the key was not in the state folder when the request went out: $(grep ' file ' "$transcript")"
  [ ! -e "$DS_WORK/home/.local/state/tallyglass/pending-reset" ] || ds_fail "the reset's key outlived its outcome"
  ds_log "사용 in the confirmation spent rlrc-soon, and a reading followed"

  # A second copy: exit 1 and one line. A copy whose XDG_RUNTIME_DIR is no folder takes
  # the user's own fallback folder for its lock instead (never one of another user), and runs.
  local first=$DS_APP_PID
  DS_WATCH_APP=""
  ds_start_app "$app" "" ""
  ds_wait_app_exit 10
  ((DS_APP_EXITED == 1)) && [ "$(grep -c . "$DS_WORK/app.err")" = 1 ] ||
    ds_fail "a second copy exited $DS_APP_EXITED with stderr: $(cat "$DS_WORK/app.err")"
  : >"$DS_WORK/not-a-directory"
  ds_start_app "$app" "" "" XDG_RUNTIME_DIR="$DS_WORK/not-a-directory"
  DS_WATCH_APP=1
  ds_wait_until 10 "a copy locked in the fallback folder to register a second item" has_items 2
  DS_WATCH_APP=""  # its end is what stop_pid waits for
  stop_pid "$DS_APP_PID"
  DS_APP_PID=$first
  DS_WATCH_APP=1
  ds_log "single instance: a second copy exits 1 with one line; an unusable runtime folder falls back"

  stop_pid "$PANEL_PID"
  start_lxqt_panel
  ds_wait_until 10 "lxqt-panel to come back" host_ready
  ds_wait_until 2 "the item to register again with the restarted panel" has_items
  ds_log "the item registered again after the panel restarted"

  # Idle beside an SNI host only the app's timers wake it: the countdown, every 30 s from
  # launch, as automatic refresh is off. Every wakeup of any of its threads is a context
  # switch. Threads come and go (Qt's pool ends idle ones), so count per thread. The
  # window runs from a quiet moment to a tick at least 10 s later, seen as the main
  # thread waking.
  switches() {
    local task
    for task in /proc/"$DS_APP_PID"/task/*; do
      awk -v t="${task##*/}" '/ctxt_switches/ {n += $2} END {print t, n}' "$task/status" 2>/dev/null
    done
  }
  main_switches() { awk '/ctxt_switches/ {n += $2} END {print n}' "/proc/$DS_APP_PID/task/$DS_APP_PID/status"; }
  quiet_for_a_second() { local before; before=$(switches); sleep 1; [ "$before" = "$(switches)" ]; }
  uptime_reaches() { awk -v t="$1" '{exit !($1 >= t)}' /proc/uptime; }
  ds_wait_until 10 "tallyglass to go quiet after the panel's restart" quiet_for_a_second
  local start tick main wakeups window
  switches >"$DS_WORK/switches-before"
  start=$(cut -d' ' -f1 /proc/uptime)
  tick=$(awk -v now="$start" -v hz="$(getconf CLK_TCK)" '{launch = $22 / hz; k = int((now + 10 - launch) / 30) + 1
    print launch + 30 * k}' "/proc/$DS_APP_PID/stat")
  ds_wait_until 50 "the second before the countdown's tick" uptime_reaches "$(awk -v t="$tick" 'BEGIN {print t - 1}')"
  main=$(main_switches)
  main_woke() { [ "$(main_switches)" != "$main" ]; }
  ds_wait_until 10 "the countdown's tick to wake the main thread" main_woke
  window=$(awk -v s="$start" '{printf "%.0f", $1 - s}' /proc/uptime)
  wakeups=$(switches | awk 'NR == FNR {before[$1] = $2; next} {n += $2 - before[$1]} END {print n + 0}' \
    "$DS_WORK/switches-before" -)
  printf 'idle wakeups of tallyglass beside lxqt-panel: %d in %d s up to a tick\n' "$wakeups" "$window" |
    tee "$artifacts/sni-idle.txt" >&2
  ((wakeups <= 10)) || ds_fail "tallyglass woke $wakeups times in $window s of idling"

  DS_WATCH_APP=""
  kill -TERM "$DS_APP_PID"
  ds_wait_app_exit 15
  expect_no_process_left "$DS_APP_PID"
}

# ---------------------------------------------------------------------------
# Seconds from the watcher's arrival on the bus (lxqt-panel's host is in the same
# process and registers at once) to the item's registration, from the bus's time stamps.
late_host_seconds() {
  /usr/bin/python3 - "$DS_WORK/monitor.log" <<'EOF'
import sys
host = item = None
for line in open(sys.argv[1]):
    fields = line.split("\t")
    if len(fields) > 7 and fields[0] == "sig":
        if fields[7].strip() == "NameOwnerChanged" and host is None:
            host = float(fields[1])
        elif fields[7].strip() == "StatusNotifierItemRegistered" and host is not None and item is None:
            item = float(fields[1])
print(f"{item - host:.3f}" if host and item else "none")
EOF
}

# Copies of the app in this test's session (its runtime directory).
session_copies() {
  local pid count=0
  for pid in $(pgrep -fx "$app"); do
    tr '\0' '\n' 2>/dev/null </proc/"$pid"/environ | grep -qxF "XDG_RUNTIME_DIR=$DS_WORK/runtime" && count=$((count + 1))
  done
  echo "$count"
}

run_late_case() {
  ds_start_xvfb 800 200
  ds_start_trayer 32
  ds_start_bus
  local round times=() seconds app_pid monitor_pid
  for round in 1 2 3 4 5; do
    ds_start_app "$app" "$DS_WORK/scenario.json" "$transcript"
    app_pid=$DS_APP_PID
    DS_WATCH_APP=1
    ds_wait_until 30 "the icon to dock in trayer through XEmbed (round $round)" ds_has_tray_icon
    ds_wait_until 30 "a reading (round $round)" reads_above $((round - 1))
    dbus-monitor --address "$DBUS_SESSION_BUS_ADDRESS" --profile \
      "type='signal',member='NameOwnerChanged',arg0='org.kde.StatusNotifierWatcher'" \
      "type='signal',interface='org.kde.StatusNotifierWatcher'" >"$DS_WORK/monitor.log" 2>/dev/null &
    monitor_pid=$!
    DS_PIDS+=("$monitor_pid")
    sleep 0.5
    start_lxqt_panel
    ds_wait_until 10 "the item to register with the late lxqt-panel (round $round)" has_items
    ds_wait_until 2 "the monitor to see both registrations" eval '[ "$(late_host_seconds)" != none ]'
    seconds=$(late_host_seconds)
    stop_pid "$monitor_pid"
    awk -v s="$seconds" 'BEGIN {exit !(s < 2)}' || ds_fail "the item registered ${seconds} s after the host"
    ds_app_running || ds_fail "tallyglass ended instead of starting anew"
    [ "$(cat /proc/"$DS_APP_PID"/comm)" = tallyglass ] || ds_fail "started anew as $(cat /proc/"$DS_APP_PID"/comm)"
    (($(session_copies) == 1)) || ds_fail "$(session_copies) copies of tallyglass run in this session"
    times+=("$seconds")
    ds_log "round $round: host registered -> item registered in $seconds s"
    DS_WATCH_APP=""
    kill -TERM "$DS_APP_PID"
    ds_wait_app_exit 15
    ((DS_APP_EXITED == 0)) || ds_fail "tallyglass exited $DS_APP_EXITED"
    stop_pid "$PANEL_PID"
    expect_no_process_left "$app_pid"
  done
  seconds=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 3p)
  printf 'late host: %s s (median of 5: %s)\n' "${times[*]}" "$seconds" | tee "$artifacts/late-host.txt" >&2
}

# ---------------------------------------------------------------------------
# Count of pixels in FILE (cropped to GEOMETRY) whose colour is within FUZZ (10 %) of COLOUR.
pixels_near() { convert "$1" -crop "$2" +repage -fill black -fuzz "${4:-10%}" +opaque "$3" -fill white -opaque "$3" \
  -format '%[fx:mean*w*h]' info: 2>/dev/null | cut -d. -f1; }

# wait_for_reader_exit NAME PID: the bar is killed outright, so only the closed pipe tells
# its tallyglass-status; that must end within 1 s, and its codex with it.
wait_for_reader_exit() {
  local pids pid start elapsed
  pids=$(pgrep -f "^$status_program --format" -U "$(id -u)")
  [ -n "$pids" ] || ds_fail "no tallyglass-status ran under $1"
  start=$(date +%s%N)
  { kill -KILL "$2" && wait "$2"; } 2>/dev/null
  for pid in $pids; do
    until ds_pid_gone "$pid"; do
      elapsed=$((($(date +%s%N) - start) / 1000000))
      ((elapsed <= 1000)) || ds_fail "tallyglass-status still ran ${elapsed} ms after $1 stopped"
      sleep 0.05
    done
  done
  ds_log "tallyglass-status ended $((($(date +%s%N) - start) / 1000000)) ms after $1 stopped"
  local left
  left=$(ds_live_fakes "$bar_transcript" | tr '\n' ' ')
  [ -z "$left" ] || ds_fail "the bar's codex process(es) left running: $left"
}

run_waybar_case() {
  ds_start_bus
  export XDG_RUNTIME_DIR="$DS_WORK/runtime"
  cat >"$DS_WORK/sway.conf" <<EOF
xwayland disable
output HEADLESS-1 resolution 640x120 bg #3c3c3c solid_color
EOF
  cat >"$DS_WORK/waybar.json" <<EOF
{"layer": "top", "position": "top", "height": 32,
 "modules-left": ["custom/tallyglass"], "modules-right": ["tray"],
 "tray": {"icon-size": 22, "spacing": 8},
 "custom/tallyglass": {"exec": "$status_program --format waybar --watch 3600", "return-type": "json"}}
EOF
  printf '%s\n' '* { font-family: sans-serif; font-size: 15px; }' \
    'window#waybar { background: #1e1e1e; color: #ffffff; }' \
    '#custom-tallyglass { padding: 0 8px; }' '#custom-tallyglass.warning { color: #ffb020; }' \
    '#custom-tallyglass.critical, #custom-tallyglass.error { color: #ff5050; }' >"$DS_WORK/waybar.css"
  env -i PATH=/usr/bin:/bin HOME="$DS_WORK/home" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
    DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman sway -c "$DS_WORK/sway.conf" </dev/null >"$DS_WORK/sway.log" 2>&1 &
  DS_PIDS+=("$!")
  wayland_up() { [ -S "$XDG_RUNTIME_DIR/wayland-1" ]; }
  ds_wait_until 20 "sway to open its Wayland socket" wayland_up
  export WAYLAND_DISPLAY=wayland-1
  env -i PATH="$DS_WORK/bin:/usr/bin:/bin" HOME="$DS_WORK/home" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" \
    WAYLAND_DISPLAY="$WAYLAND_DISPLAY" DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" LANG=C.UTF-8 TZ=UTC \
    FAKE_CODEX_SCENARIO="$DS_WORK/scenario.json" FAKE_CODEX_TRANSCRIPT="$bar_transcript" \
    waybar -c "$DS_WORK/waybar.json" -s "$DS_WORK/waybar.css" </dev/null >"$DS_WORK/waybar.log" 2>&1 &
  local waybar_pid=$!
  DS_PIDS+=("$waybar_pid")
  ds_wait_until 20 "waybar to register as StatusNotifierItem host" host_ready
  ds_start_app "$app" "$DS_WORK/scenario.json" "$transcript" QT_QPA_PLATFORM=wayland DISPLAY= \
    WAYLAND_DISPLAY="$WAYLAND_DISPLAY" NO_AT_BRIDGE=1
  DS_WATCH_APP=1
  ds_wait_until 10 "the native-Wayland item to register with waybar" has_items
  ds_wait_until 20 "the tooltip to show the reading" tooltip_reads $'63% (12:00 AM)\n5시간 한도 남음'
  grep -q '"wayland"' <(tr '\0' '\n' </proc/"$DS_APP_PID"/environ | sed 's/QT_QPA_PLATFORM=\(.*\)/"\1"/') ||
    ds_fail "tallyglass was not started on the wayland platform"
  sleep 1 # let waybar draw the icon and the module's first lines
  local shot="$DS_WORK/waybar.png" icon text
  shot_ready() {
    grim "$shot" 2>/dev/null || return 1
    # White text on the bar's left; the icon's white figure at the right, where the tray is.
    text=$(pixels_near "$shot" 300x32+0+0 '#ffffff')
    icon=$(pixels_near "$shot" 120x32+520+0 '#ffffff')
    ((text >= 30 && icon >= 15))
  }
  ds_wait_until 20 "waybar to draw the module's text and the tray icon" shot_ready
  convert "$shot" -crop 640x32+0+0 +repage "$artifacts/waybar.png"
  ds_log "waybar draws the text (${text} px) and the icon (${icon} px)"
  DS_WATCH_APP=""
  wait_for_reader_exit waybar "$waybar_pid"
  kill -TERM "$DS_APP_PID"
  ds_wait_app_exit 15
  expect_no_process_left "$DS_APP_PID"
}

# ---------------------------------------------------------------------------
run_polybar_case() {
  ds_start_xvfb 640 120
  ds_start_bus
  cat >"$DS_WORK/polybar.ini" <<EOF
[bar/test]
width = 100%
height = 32
background = #1e1e1e
foreground = #ffffff
font-0 = sans:size=12;2
modules-left = tallyglass

[module/tallyglass]
type = custom/script
exec = $status_program --format text --watch 3600
tail = true
EOF
  env -i PATH="$DS_WORK/bin:/usr/bin:/bin" HOME="$DS_WORK/home" DISPLAY="$DISPLAY" LANG=C.UTF-8 TZ=UTC \
    DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" XDG_RUNTIME_DIR="$DS_WORK/runtime" \
    FAKE_CODEX_SCENARIO="$DS_WORK/scenario.json" FAKE_CODEX_TRANSCRIPT="$bar_transcript" \
    polybar -c "$DS_WORK/polybar.ini" -r test </dev/null >"$DS_WORK/polybar.log" 2>&1 &
  local polybar_pid=$!
  DS_PIDS+=("$polybar_pid")
  bar_reads() { (($(ds_count_received "$bar_transcript" account/rateLimits/read) > 0)); }
  ds_wait_until 30 "a reading for polybar" bar_reads
  local text
  drawn() {
    import -window root -crop 640x32+0+0 +repage "$DS_WORK/polybar.png" 2>/dev/null || return 1
    text=$(pixels_near "$DS_WORK/polybar.png" 300x32+0+0 '#ffffff')
    ((text >= 30))
  }
  ds_wait_until 20 "polybar to draw the module's text" drawn
  cp "$DS_WORK/polybar.png" "$artifacts/polybar.png"
  ds_log "polybar draws the text (${text} px)"
  wait_for_reader_exit polybar "$polybar_pid"
}

# ---------------------------------------------------------------------------
# Whole desktops. Each recipe defines desktop_session (display, buses and whatever runs
# before the app), panel_start and panel_stop (the tray, or the extension that is one),
# panel_shot FILE (the strip where the panel shows items) and APP_ENV; run_desktop_case
# runs the same checks on each. Their services read and write only the test's home.
APP_ENV=()
desktop_home() {
  export HOME="$DS_WORK/home" XDG_CONFIG_HOME="$DS_WORK/config" XDG_RUNTIME_DIR="$DS_WORK/runtime" \
    XDG_CACHE_HOME="$DS_WORK/cache" XDG_DATA_HOME="$DS_WORK/data" QT_QPA_PLATFORM=xcb
}
bus_has() { bus list --no-pager 2>/dev/null | grep -q "^$1 "; }
# Services the bus started for a desktop (Plasma's plasma_waitforname) can outlive it
# by a minute. They run in a session of their own and carry the test's runtime folder.
stop_bus_helpers() {
  local pid session ours
  ours=$(ps -o sess= -p $$)
  ps -eo pid=,sess= | while read -r pid session; do
    [ "$session" != "${ours// /}" ] &&
      tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "XDG_RUNTIME_DIR=$DS_WORK/runtime" &&
      kill -TERM "$pid" 2>/dev/null
  done
}
wait_pid_gone() { ds_wait_until 15 "$2 to end" ds_pid_gone "$1"; wait "$1" 2>/dev/null; }

# Xfce 4.18: the panel's systray plugin is both the SNI watcher and the host. xfconfd,
# which the bus starts, reads the panel's layout from the test's home.
xfce_recipe() {
  desktop_session() {
    desktop_home
    local channel="$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
    mkdir -p "$channel"
    cat >"$channel/xfce4-panel.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
EOF
    ds_start_xvfb 800 200
    ds_start_bus
  }
  panel_start() {
    xfce4-panel --disable-wm-check </dev/null >>"$DS_WORK/panel.log" 2>&1 &
    PANEL_PID=$!
    DS_PIDS+=("$PANEL_PID")
  }
  panel_stop() { xfce4-panel --quit; wait_pid_gone "$PANEL_PID" xfce4-panel; }
  panel_shot() { import -window root -crop 240x32+0+0 +repage "$1"; }
}

# GNOME Shell 43, headless on Wayland, with the AppIndicator extension; the app runs
# natively on the shell's Wayland socket. The tray comes and goes with the extension.
gnome_recipe() {
  extensions() { gsettings set org.gnome.shell enabled-extensions "$1"; }
  desktop_session() {
    desktop_home
    ds_start_bus
    ds_start_bus DBUS_SYSTEM_BUS_ADDRESS # the shell wants a system bus; any bus will do
    # It ends with a segmentation fault on every shutdown (bash reports it); nothing reads its status.
    gnome-shell --headless --virtual-monitor 1280x800 --wayland --no-x11 --unsafe-mode \
      </dev/null >>"$DS_WORK/panel.log" 2>&1 &
    DS_PIDS+=("$!")
    shell_up() { [ -S "$XDG_RUNTIME_DIR/wayland-0" ] && bus_has org.gnome.Shell.Screenshot; }
    ds_wait_until 60 "gnome-shell to open its Wayland socket and its screenshot service" shell_up
    APP_ENV=(QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=wayland-0 DISPLAY=)
  }
  panel_start() { extensions "['ubuntu-appindicators@ubuntu.com']"; }
  panel_stop() {
    extensions "[]"
    watcher_gone() { ! bus_has org.kde.StatusNotifierWatcher; }
    ds_wait_until 10 "the extension's watcher to leave the bus" watcher_gone
  }
  panel_shot() {
    bus call org.gnome.Shell.Screenshot /org/gnome/Shell/Screenshot org.gnome.Shell.Screenshot \
      Screenshot bbs false false "$DS_WORK/screen.png" >/dev/null &&
      convert "$DS_WORK/screen.png" -crop 400x32+880+0 +repage "$1"
  }
}

# KDE Plasma 5.27: the watcher is a kded5 module, which this kded loads only when asked;
# it reports a host by itself, so the item registers at once and shows when plasmashell
# starts.
kde_recipe() {
  desktop_session() {
    desktop_home
    ds_start_xvfb 1280 800
    ds_start_bus
    ds_start_bus DBUS_SYSTEM_BUS_ADDRESS
    kded5 </dev/null >>"$DS_WORK/kded.log" 2>&1 &
    DS_PIDS+=("$!")
    ds_wait_until 30 "kded5 on the bus" bus_has org.kde.kded5
  }
  panel_start() {
    bus call org.kde.kded5 /kded org.kde.kded5 loadModule s statusnotifierwatcher >/dev/null
    plasmashell --no-respawn </dev/null >>"$DS_WORK/panel.log" 2>&1 &
    PANEL_PID=$!
    DS_PIDS+=("$PANEL_PID")
  }
  panel_stop() { kill -TERM "$PANEL_PID"; wait_pid_gone "$PANEL_PID" plasmashell; }
  panel_shot() { import -window root -crop 400x48+880+752 +repage "$1"; }
}

# expect_own_item: one item, the app's own, whose process started anew in place.
expect_own_item() {
  local owner
  (($(item_count) == 1)) || ds_fail "$(item_count) items are registered: $(items | tr '\n' ' ')"
  owner=$(bus call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
    GetConnectionUnixProcessID s "$(item_service)" | cut -d' ' -f2)
  [ "$owner" = "$DS_APP_PID" ] || ds_fail "the item is pid ${owner}'s, not tallyglass's ($DS_APP_PID)"
  (($(session_copies) == 1)) || ds_fail "$(session_copies) copies of tallyglass run in this session"
}

# The count of pixels of the badge's tile colour in the item's icon, at each of its sizes.
icon_tile_pixels() {
  item_get IconPixmap | /usr/bin/python3 -c '
import json, sys
for w, h, data in json.load(sys.stdin)["data"]:
    data = bytes(data)
    print(sum(data[i:i + 4] == b"\xff\x1c\x1c\x1e" for i in range(0, len(data), 4)))'
}

# expect_badge_shown FILE: the panel draws the badge where it shows items: as many pixels
# of its tile colour as the current icon has at one of its sizes (within 15 %, for a
# panel that scales it), the same in two pictures in a row (a panel may still be laying
# out its icons). A stale icon ("--" before the first reading) has another count.
expect_badge_shown() {
  local tile=0
  drawn() {
    panel_shot "$DS_WORK/shot.png" 2>/dev/null || return 1
    tile=$(pixels_near "$DS_WORK/shot.png" 100%x100%+0+0 '#1c1c1e' 1%)
    compare -metric AE "$DS_WORK/shot.png" "$1" null: 2>/dev/null &&
      icon_tile_pixels | awk -v t="$tile" '$1 * 0.85 <= t && t <= $1 * 1.15 {found = 1} END {exit !found}' &&
      return 0
    mv "$DS_WORK/shot.png" "$1"
    return 1
  }
  rm -f "$1"
  ds_wait_until 30 "$case_name to draw the icon in $1" drawn "$1"
  ds_log "$case_name draws the icon: $tile px of the tile's colour"
}

run_desktop_case() {
  "${case_name}_recipe"
  local started=$SECONDS pid reads
  desktop_session
  ds_log "$case_name: session up in $((SECONDS - started)) s"
  ds_start_app "$app" "$DS_WORK/scenario.json" "$transcript" "${APP_ENV[@]}"
  pid=$DS_APP_PID
  DS_WATCH_APP=1
  ds_wait_until 30 "the first reading" reads_above 0
  panel_start
  ds_wait_until 30 "the item to register with the tray started after the app" has_items
  expect_own_item
  codex_starts() { grep -c '^[0-9]* start ' "$transcript"; }
  ds_wait_until 10 "tallyglass, started anew, to start codex again" eval '(($(codex_starts) >= 2))'
  expect_item_and_menu
  (($(codex_starts) == 2)) || ds_fail "codex started $(codex_starts) times; tallyglass should have started anew once"
  reads=$(received account/rateLimits/read)
  item_call Activate ii 0 0 >/dev/null
  ds_wait_until 10 "Activate to read again" reads_above "$reads"
  expect_badge_shown "$artifacts/$case_name-panel.png"
  ds_log "$case_name: the tray after the app, the item, its menu, Activate and the icon work"

  panel_stop
  panel_start
  ds_wait_until 30 "the item to register again with the restarted tray" has_items
  expect_own_item
  expect_badge_shown "$artifacts/$case_name-panel-restarted.png"
  ds_log "$case_name: the icon is back after the tray restarted"

  DS_WATCH_APP=""
  kill -TERM "$DS_APP_PID"
  ds_wait_app_exit 15
  expect_no_process_left "$pid"
  ds_log "$case_name: the case took $((SECONDS - started)) s"
}

case "$case_name" in
  lxqt) run_lxqt_case ;;
  late) run_late_case ;;
  waybar) run_waybar_case ;;
  polybar) run_polybar_case ;;
  xfce | gnome | kde) run_desktop_case ;;
  *) ds_fail "unknown case: $case_name" ;;
esac
