#!/usr/bin/env bash
# Makes the README screenshots from a built tree: tallyglass runs on a private X
# server under the trayer tray host, against the fake codex, and the script writes
#   docs/screenshots/tray-tooltip.png  the icon with its tooltip
#   docs/screenshots/tray-menu.png     the open menu, with a forecast line from a
#                                      seeded reading history
#   docs/screenshots/notification.png  a low-allowance notification, shown by the dunst
#                                      notification daemon on a private session bus
#   docs/screenshots/history-light.png the history window, light and dark palettes
#   docs/screenshots/history-dark.png
# Builds nothing: pass the build directory (default build/release), in which the
# targets tallyglass, fake-codex and bench_history are built.
#
#   tools/make-screenshots.sh [BUILD_DIR]
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
app="$build/app/tallyglass"
fake="$build/tests/doubles/fake-codex/fake-codex"
history_tool="$build/bench/history/bench_history"
out="$root/docs/screenshots"

# shellcheck source=tests/system/desktop/desktop-session.sh
source "$root/tests/system/desktop/desktop-session.sh"

ds_require_built "$build" "tallyglass fake-codex bench_history" "$app" "$fake" "$history_tool"
ds_make_work screenshots

# Twice the pixels of a 96 dpi screen, so the text reads well on a README page.
scale=2
width=1600
height=900
ds_start_xvfb "$width" "$height"
ds_start_trayer $((24 * scale))
ds_prepare_home "$fake"

# Resets a little in the future, on whole minutes: the five-hour window in 2 h 13 m,
# the week in 3 days and 4 hours.
now=$(date +%s)
now=$((now - now % 60))
five_hour_reset=$((now + 2 * 3600 + 13 * 60))
week_reset=$((now + 3 * 86400 + 4 * 3600))
transcript="$DS_WORK/transcript.txt"
scenario="$DS_WORK/scenario.json"
# Beyond the two windows: another bucket, credits and two banked resets, the sooner one
# expiring in 19 hours 40 minutes.
codex="\"limitId\": \"codex\", \"limitName\": null,
    \"primary\": {\"usedPercent\": 37, \"windowDurationMins\": 300, \"resetsAt\": $five_hour_reset},
    \"secondary\": {\"usedPercent\": 12, \"windowDurationMins\": 10080, \"resetsAt\": $week_reset},
    \"credits\": {\"hasCredits\": true, \"unlimited\": false, \"balance\": \"125.5\"}, \"planType\": \"plus\""
cat >"$scenario" <<EOF
{"rules": [{"method": "account/rateLimits/read", "actions": [{"result":
  {"rateLimits": {$codex},
   "rateLimitsByLimitId": {"codex": {$codex}, "codex_bengalfox": {"limitId": "codex_bengalfox",
     "limitName": "GPT-5.3-Codex-Spark",
     "primary": {"usedPercent": 40, "windowDurationMins": 300, "resetsAt": $five_hour_reset},
     "secondary": {"usedPercent": 5, "windowDurationMins": 10080, "resetsAt": $week_reset}}},
   "rateLimitResetCredits": {"availableCount": 2, "credits": [
     {"id": "rlrc-later", "status": "available", "expiresAt": $((now + 9 * 86400))},
     {"id": "rlrc-soon", "status": "available", "expiresAt": $((now + 19 * 3600 + 40 * 60))}]}}}]}]}
EOF

# Four earlier readings of the same five-hour window, rising 5% every ten minutes up to
# the 37% the fake reports now: the menu shows when the window will be used up.
QT_QPA_PLATFORM=offscreen "$history_tool" seed "$DS_WORK/home/.local/state/tallyglass/history.sqlite3" \
  "$now" "$five_hour_reset" || ds_fail "could not seed the reading history"

ds_start_app "$app" "$scenario" "$transcript" QT_SCALE_FACTOR="$scale"
DS_WATCH_APP=1
ds_wait_until 30 "the tray icon to dock in trayer" ds_has_tray_icon
reading_shown() {
  (($(ds_count_received "$transcript" account/read) >= 2)) &&
    (($(ds_count_received "$transcript" account/rateLimits/read) >= 1))
}
ds_wait_until 60 "the first reading" reading_shown
sleep 1 # the reading reaches the tray on the main thread

# shot NAME POPUP_WINDOW: the top right of the screen, from a little left of the
# popup or the icon down to a little below the popup.
shot() {
  local name=$1 popup=$2 ix px py ph left bottom
  read -r ix _ < <(ds_geometry "$(ds_tray_icon_window)")
  read -r px py _ ph < <(ds_geometry "$popup")
  left=$(( (px < ix ? px : ix) - 32 * scale ))
  ((left < 0)) && left=0
  bottom=$((py + ph + 12 * scale))
  mkdir -p "$out"
  import -window root "$DS_WORK/screen.png"
  convert "$DS_WORK/screen.png" -crop "$((width - left))x${bottom}+${left}+0" +repage -strip "$out/$name"
  ds_log "wrote $out/$name"
}

read -r x y < <(ds_icon_center)
xdotool mousemove "$x" "$y"
ds_wait_until 15 "the tooltip on hover" ds_has_tooltip
sleep 0.5 # let it paint
shot tray-tooltip.png "$(ds_tooltip_window)"

xdotool mousemove 5 $((height - 5))
no_tooltip() { ! ds_has_tooltip; }
ds_wait_until 15 "the tooltip to close" no_tooltip
# Click at the icon's lower edge: the menu opens at the pointer and so leaves the icon in view.
read -r _ icon_y _ icon_height < <(ds_geometry "$(ds_tray_icon_window)")
xdotool mousemove "$x" $((icon_y + icon_height - 2)) click 3
ds_wait_until 15 "the menu on a right click" ds_has_menu
sleep 0.5
# The pointer rests on the first item, which only shows information.
shot tray-menu.png "$(ds_menu_window)"
xdotool key Escape

DS_WATCH_APP=""
kill -TERM "$DS_APP_PID"
ds_wait_app_exit 15

# A second run whose reading leaves 8% of the five-hour window: one notification.
command -v dunst >/dev/null || ds_fail "the notification picture needs dunst (apt-get install dunst)"
dbus-daemon --session --nofork --print-address=1 >"$DS_WORK/bus.address" 2>/dev/null </dev/null &
DS_PIDS+=($!)
bus_ready() { [ -s "$DS_WORK/bus.address" ]; }
ds_wait_until 10 "the private session bus" bus_ready
bus=$(head -n1 "$DS_WORK/bus.address")
cat >"$DS_WORK/dunstrc" <<EOF
[global]
font = Noto Sans CJK KR $((10 * scale))
width = $((330 * scale))
origin = top-right
offset = $((8 * scale))x$((32 * scale))
frame_width = $scale
padding = $((8 * scale))
horizontal_padding = $((10 * scale))
format = "<b>%s</b>\n%b"
EOF
DBUS_SESSION_BUS_ADDRESS="$bus" dunst -config "$DS_WORK/dunstrc" >"$DS_WORK/dunst.log" 2>&1 </dev/null &
DS_PIDS+=($!)
sed 's/"usedPercent": 37/"usedPercent": 92/' "$scenario" >"$DS_WORK/low.json"
ds_start_app "$app" "$DS_WORK/low.json" "" QT_SCALE_FACTOR="$scale" DBUS_SESSION_BUS_ADDRESS="$bus"
DS_WATCH_APP=1
dunst_window() { xdotool search --onlyvisible --class Dunst 2>/dev/null | head -n1; }
notification_shown() { [ -n "$(dunst_window)" ]; }
ds_wait_until 30 "the notification" notification_shown
sleep 0.5
import -window root "$DS_WORK/screen.png"
read -r nx ny nw nh < <(ds_geometry "$(dunst_window)")
convert "$DS_WORK/screen.png" -crop "$((nw + 24 * scale))x$((ny + nh + 12 * scale))+$((nx - 16 * scale))+0" \
  +repage -strip "$out/notification.png"
ds_log "wrote $out/notification.png"
DS_WATCH_APP=""
kill -TERM "$DS_APP_PID"
ds_wait_app_exit 15

for palette in light dark; do
  QT_QPA_PLATFORM=xcb "$history_tool" shot "$out/history-$palette.png" "$palette" 2>/dev/null ||
    ds_fail "could not render the history window"
  ds_log "wrote $out/history-$palette.png"
done
