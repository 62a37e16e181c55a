# shellcheck shell=bash
# Shared by the real-desktop test and tools/make-screenshots.sh (sourced, not run):
# a private X server with a tray host, a fake `codex` on PATH, and `tallyglass`
# started in a throwaway home. Every wait is bounded and names what it waited for.
#
# The caller sets DS_WORK (an empty scratch directory) before calling ds_setup and
# must run ds_cleanup on exit (trap ds_cleanup EXIT).

DS_PIDS=()          # processes started here, stopped in reverse order by ds_cleanup
DS_XVFB_PID=""
DS_TRAYER_PID=""
DS_APP_PID=""
# shellcheck disable=SC2034 # read by the scripts that source this file
DS_APP_EXITED=""    # set by ds_wait_app_exit
DS_WATCH_APP=""     # when set, waits fail at once if the app has died

ds_log() { printf '[desktop] %s\n' "$*" >&2; }

ds_fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

# ds_wait_until SECONDS "what we wait for" command [args...]
# Retries the command every 0.1 s until it succeeds; fails naming the wait otherwise.
ds_wait_until() {
  local limit=$1 what=$2
  shift 2
  local deadline=$((SECONDS + limit))
  until "$@"; do
    if [ -n "$DS_WATCH_APP" ] && [ -n "$DS_APP_PID" ] && ds_app_gone; then
      ds_fail "tallyglass ended while waiting for: ${what}; its stderr ends with: $(tail -5 "$DS_WORK/app.err" 2>/dev/null)"
    fi
    if ((SECONDS >= deadline)); then
      ds_fail "timed out after ${limit} s waiting for: ${what}"
    fi
    sleep 0.1
  done
}

ds_require_tools() {
  local tool missing=()
  for tool in Xvfb trayer xdotool xwininfo xprop import convert compare getent; do
    command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
  done
  ((${#missing[@]} == 0)) ||
    ds_fail "missing tools: ${missing[*]} (tools/setup-debian.sh installs them)"
  fc-list ':lang=ko' family 2>/dev/null | grep -q . ||
    ds_fail "no font with Korean glyphs (install fonts-noto-cjk)"
}

# The client looks in fixed places under the password database's home directory
# before PATH; a codex there would be run instead of the fake.
ds_require_no_installed_codex() {
  local home candidate
  home=$(getent passwd "$(id -u)" | cut -d: -f6)
  for candidate in "$home/.local/bin/codex" /opt/homebrew/bin/codex /usr/local/bin/codex \
    "$home/.npm-global/bin/codex"; do
    if [ -e "$candidate" ] || [ -L "$candidate" ]; then
      ds_fail "$candidate exists; tallyglass would run it instead of the fake codex. Move it away for this test."
    fi
  done
}

# ds_require_built BUILD_DIR TARGETS BINARY...: every binary is built (TARGETS names
# them for cmake), the desktop tools are installed and no codex would shadow the fake.
ds_require_built() {
  local build=$1 targets=$2 binary
  shift 2
  for binary in "$@"; do
    [ -x "$binary" ] || ds_fail "$binary is not built (cmake --build $build --target $targets)"
  done
  ds_require_tools
  ds_require_no_installed_codex
}

# ds_make_work NAME: a fresh DS_WORK; it and the session go on exit or interruption.
ds_make_work() {
  DS_WORK=$(mktemp -d "${TMPDIR:-/tmp}/tallyglass-$1.XXXXXX")
  # shellcheck disable=SC2064 # this folder, even when DS_WORK changes later
  trap "ds_cleanup; rm -rf '$DS_WORK'" EXIT
  trap 'exit 1' INT TERM HUP
}

ds_cleanup() {
  local i pid
  for ((i = ${#DS_PIDS[@]} - 1; i >= 0; i--)); do
    pid=${DS_PIDS[i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 30); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  DS_PIDS=()
}

# ds_start_xvfb WIDTH HEIGHT: a server on a free display number; exports DISPLAY.
ds_start_xvfb() {
  local width=$1 height=$2 fifo="$DS_WORK/displayfd" number=""
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 "${width}x${height}x24" -nolisten tcp -wr 3>"$fifo" \
    >"$DS_WORK/xvfb.log" 2>&1 </dev/null &
  DS_XVFB_PID=$!
  DS_PIDS+=("$DS_XVFB_PID")
  # Xvfb writes the display number it took to descriptor 3 once it accepts clients.
  read -r -t 30 number <"$fifo" || true
  rm -f "$fifo"
  [ -n "$number" ] || ds_fail "Xvfb did not report a display within 30 s: $(tail -5 "$DS_WORK/xvfb.log")"
  export DISPLAY=":$number"
  ds_wait_until 20 "the X server on $DISPLAY to accept clients" ds_display_answers
  ds_log "Xvfb on $DISPLAY"
}
ds_display_answers() { xwininfo -root >/dev/null 2>&1; }

# ds_start_bus [VARIABLE]: a session bus of this test's own; exports its address as
# VARIABLE (DBUS_SESSION_BUS_ADDRESS). Without one, libdbus would autolaunch a bus for
# the X display that outlives the test.
ds_start_bus() {
  local address pid
  { read -r address && read -r pid; } < <(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 </dev/null)
  [ -n "$address" ] && [ -n "$pid" ] || ds_fail "dbus-daemon did not start a session bus"
  DS_PIDS+=("$pid")
  export "${1:-DBUS_SESSION_BUS_ADDRESS}=$address"
}

ds_panel_window() { xdotool search --name '^panel$' 2>/dev/null | head -n1; }
ds_has_panel() { [ -n "$(ds_panel_window)" ]; }

# ds_start_trayer HEIGHT: a full-width panel along the top edge, icons on the right.
ds_start_trayer() {
  local height=$1 attempt
  for attempt in 1 2 3; do
    ds_launch_trayer "$height"
    ds_wait_until 20 "the trayer panel window to appear" ds_trayer_ready
    ds_has_panel && return 0
    ds_log "trayer ended before its panel appeared (attempt $attempt): $(tail -2 "$DS_WORK/trayer.log")"
  done
  ds_fail "trayer did not start: $(tail -5 "$DS_WORK/trayer.log")"
}
# The panel is up, or trayer has given up (then ds_start_trayer tries again).
ds_trayer_ready() { ds_has_panel || ds_pid_gone "$DS_TRAYER_PID"; }
ds_launch_trayer() {
  local height=$1
  trayer --edge top --align right --widthtype percent --width 100 --height "$height" \
    --SetDockType false --SetPartialStrut false --transparent true --alpha 0 --tint 0x2b2f36 \
    --expand true --padding 6 >"$DS_WORK/trayer.log" 2>&1 </dev/null &
  DS_TRAYER_PID=$!
  DS_PIDS+=("$DS_TRAYER_PID")
}

# ds_prepare_home FAKE_CODEX: throwaway HOME and XDG directories, and a PATH
# directory whose `codex` is the fake.
ds_prepare_home() {
  local fake=$1
  mkdir -p "$DS_WORK/home" "$DS_WORK/config" "$DS_WORK/runtime" "$DS_WORK/bin"
  chmod 700 "$DS_WORK/runtime"
  ln -sf "$fake" "$DS_WORK/bin/codex"
}

# ds_start_app PROGRAM SCENARIO TRANSCRIPT [VAR=value ...] [-- ARGS ...]
# Starts the app in a clean environment: the test's own session bus (ds_start_bus) or
# none at all, UTC so reset times render the same everywhere.
# An empty TRANSCRIPT leaves the fake without one.
ds_start_app() {
  local app=$1 scenario=$2 transcript=$3
  shift 3
  local variables=() arguments=()
  while (($#)) && [ "$1" != -- ]; do
    variables+=("$1")
    shift
  done
  (($#)) && shift
  arguments=("$@")
  [ -n "$transcript" ] && variables+=("FAKE_CODEX_TRANSCRIPT=$transcript")
  [ -n "${ASAN_OPTIONS:-}" ] && variables+=("ASAN_OPTIONS=$ASAN_OPTIONS")
  [ -n "${UBSAN_OPTIONS:-}" ] && variables+=("UBSAN_OPTIONS=$UBSAN_OPTIONS")
  [ -n "${LSAN_OPTIONS:-}" ] && variables+=("LSAN_OPTIONS=$LSAN_OPTIONS")
  env -i \
    PATH="$DS_WORK/bin:/usr/bin:/bin" \
    HOME="$DS_WORK/home" \
    XDG_CONFIG_HOME="$DS_WORK/config" \
    XDG_RUNTIME_DIR="$DS_WORK/runtime" \
    DISPLAY="${DISPLAY:-}" \
    QT_QPA_PLATFORM=xcb \
    DBUS_SESSION_BUS_ADDRESS="${DBUS_SESSION_BUS_ADDRESS:-disabled:}" \
    NO_AT_BRIDGE=1 \
    LANG=C.UTF-8 \
    TZ=UTC \
    FAKE_CODEX_SCENARIO="$scenario" \
    "${variables[@]}" \
    "$app" "${arguments[@]}" </dev/null >"$DS_WORK/app.out" 2>"$DS_WORK/app.err" &
  DS_APP_PID=$!
  DS_PIDS+=("$DS_APP_PID")
  ds_log "$(basename "$app") started as pid $DS_APP_PID"
}

ds_app_running() { kill -0 "$DS_APP_PID" 2>/dev/null; }

# Visible windows owned by the app (by _NET_WM_PID), one id per line, in decimal.
ds_app_windows() { xdotool search --onlyvisible --pid "$DS_APP_PID" 2>/dev/null; }

ds_window_types() { xprop -id "$1" _NET_WM_WINDOW_TYPE 2>/dev/null; }

# The docked icon: a visible app window whose parent is not the root window.
ds_tray_icon_window() {
  local window
  for window in $(ds_app_windows); do
    if ! xwininfo -children -id "$window" 2>/dev/null | grep -q 'Parent window id: .*(the root window)'; then
      echo "$window"
      return 0
    fi
  done
  return 1
}
ds_has_tray_icon() { [ -n "$(ds_tray_icon_window)" ]; }

ds_tooltip_window() {
  local window
  for window in $(ds_app_windows); do
    if ds_window_types "$window" | grep -q _NET_WM_WINDOW_TYPE_TOOLTIP; then
      echo "$window"
      return 0
    fi
  done
  return 1
}
ds_has_tooltip() { [ -n "$(ds_tooltip_window)" ]; }

# An open menu: a visible override-redirect top-level window of the app that is
# neither the icon nor a tooltip.
ds_menu_window() {
  local window icon
  icon=$(ds_tray_icon_window)
  for window in $(ds_app_windows); do
    [ "$window" = "$icon" ] && continue
    ds_window_types "$window" | grep -q _NET_WM_WINDOW_TYPE_TOOLTIP && continue
    if xwininfo -id "$window" 2>/dev/null | grep -q 'Override Redirect State: yes'; then
      echo "$window"
      return 0
    fi
  done
  return 1
}
ds_has_menu() { [ -n "$(ds_menu_window)" ]; }

# ds_geometry WINDOW: prints "x y width height" in root coordinates.
ds_geometry() {
  xwininfo -id "$1" | awk '
    /Absolute upper-left X:/ {x=$4} /Absolute upper-left Y:/ {y=$4}
    /Width:/ {w=$2} /Height:/ {h=$2}
    END {print x, y, w, h}'
}

# ds_capture WINDOW FILE: the window's pixels as they are on the screen.
ds_capture() { import -window root -crop "$(ds_geometry "$1" | awk '{printf "%dx%d+%d+%d", $3, $4, $1, $2}')" +repage "$2"; }

# ds_icon_center: "x y" of the middle of the docked icon.
ds_icon_center() {
  ds_geometry "$(ds_tray_icon_window)" | awk '{printf "%d %d\n", $1 + $3 / 2, $2 + $4 / 2}'
}

# ds_count_received TRANSCRIPT METHOD: how many requests of METHOD the fakes received.
ds_count_received() {
  [ -f "$1" ] || { echo 0; return; }
  grep -c "^[0-9]* in .*\"method\":\"$2\"" "$1" || true
}

# ds_wait_app_exit SECONDS: waits for the app to end; sets DS_APP_EXITED to its status.
ds_wait_app_exit() {
  local limit=$1
  ds_wait_until "$limit" "tallyglass (pid $DS_APP_PID) to exit" ds_app_gone
  wait "$DS_APP_PID"
  # shellcheck disable=SC2034 # read by the scripts that source this file
  DS_APP_EXITED=$?
}
# Gone, or a zombie waiting for this shell to collect its status.
ds_pid_gone() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null)
  [ -z "$state" ] || [ "${state:0:1}" = Z ]
}
ds_app_gone() { ds_pid_gone "$DS_APP_PID"; }

# ds_live_fakes TRANSCRIPT: pids of fake codex processes still alive (zombies excluded)
# that belong to this session: every pid the transcript recorded, and every process
# whose environment names this transcript (a child that died before writing a line).
ds_live_fakes() {
  local transcript=$1 pid state
  {
    [ -f "$transcript" ] && awk '$2 == "start" {print $4}' "$transcript"
    for pid in /proc/[0-9]*; do
      pid=${pid#/proc/}
      [ "$pid" = "$$" ] && continue
      tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "FAKE_CODEX_TRANSCRIPT=$transcript" && echo "$pid"
    done
  } | sort -un | while read -r pid; do
    [ "$pid" = "$DS_APP_PID" ] && continue
    state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) || continue
    [ -n "$state" ] && [ "$state" != Z ] && echo "$pid"
  done
}
