#!/usr/bin/env bash
# Checks what Tallyglass installs and ships, from a built release tree.
#
#   tests/system/install/check-install.sh [BUILD_DIR] [--system]
#
# Always: installs into a scratch DESTDIR and checks the tree (file list, launcher entry,
# AppStream metadata, manual pages, icon sizes, the installed programs), then makes the
# Debian package, runs lintian on it and compares its file list.
# With --system (as root on a throwaway machine, as CI is): also installs the package with
# apt-get, runs the installed tray under Xvfb with the fake codex for one reading, turns
# launch at login on through its menu, checks the entry it writes, then removes the package
# and checks that nothing of it is left.
# Bounded to ten minutes; every process it starts is stopped on exit.
set -uo pipefail

if [ -z "${TALLYGLASS_CHECK_INSTALL_BOUNDED:-}" ]; then
  export TALLYGLASS_CHECK_INSTALL_BOUNDED=1
  exec timeout -k 10 600 bash "$0" "$@"
fi

source_dir=$(cd "$(dirname "$0")/../../.." && pwd)
build=""
system=""
for argument in "$@"; do
  case "$argument" in
    --system) system=1 ;;
    *) build=$argument ;;
  esac
done
build=$(cd "${build:-$source_dir/build/release}" && pwd) || exit 1

# shellcheck source=tests/system/desktop/desktop-session.sh
source "$source_dir/tests/system/desktop/desktop-session.sh"
log() { printf '[install] %s\n' "$*" >&2; }
fail() { ds_fail "$@"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tallyglass-install.XXXXXX")
installed_package=""
finish() {
  local status=$?
  ds_cleanup
  if [ -n "$installed_package" ]; then
    log "removing the package after a failure"
    apt-get remove -y -q tallyglass </dev/null >/dev/null 2>&1
  fi
  rm -rf "$work"
  exit "$status"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

id=com.brightfen.tallyglass
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
oldest_codex=$(sed -n 's/^set(TALLYGLASS_OLDEST_CODEX \(.*\))$/\1/p' "$source_dir/CMakeLists.txt")

# Everything that is installed, relative to the prefix; nothing else may be.
expected=(
  bin/tallyglass
  bin/tallyglass-status
  share/applications/$id.desktop
  share/metainfo/$id.metainfo.xml
  share/icons/hicolor/scalable/apps/$id.svg
  share/man/man1/tallyglass.1.gz
  share/man/man1/tallyglass-status.1.gz
  share/doc/tallyglass/copyright
  share/doc/tallyglass/changelog.gz
)
icon_sizes=(16 22 24 32 48 64 128 256)
for size in "${icon_sizes[@]}"; do
  expected+=("share/icons/hicolor/${size}x${size}/apps/$id.png")
done
expected_list=$(printf '%s\n' "${expected[@]}" | sort)

same_list() {
  local what=$1 actual=$2
  [ "$actual" = "$expected_list" ] ||
    fail "$what differs from the expected files:"$'\n'"$(diff <(echo "$expected_list") <(echo "$actual"))"
}

# check_man_page PAGE: renders without groff warnings, and names every option of --help.
check_man_page() {
  local page=$1 help=${2:-} warnings option text
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man reports for $(basename "$page"):"$'\n'"$warnings"
  [ -n "$help" ] || return 0
  # Read once: a `zcat | grep -q` pipeline fails under pipefail whenever grep stops
  # reading early and zcat gets SIGPIPE, which made this check fail at random.
  text=$(zcat "$page" | sed 's/\\-/-/g; s/\\f[BIRP]//g')
  for option in $(grep -oE -- '(^|[ ,])--?[a-z][a-z-]*' <<<"$help" | tr -d ' ,' | sort -u); do
    grep -qF -- "$option" <<<"$text" || fail "$(basename "$page") does not document $option from --help"
  done
}

# ---------------------------------------------------------------------------
log "installing into a scratch DESTDIR"
root="$work/root"
DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
  fail "cmake --install failed: $(tail -5 "$work/install.log")"
same_list "the installed tree" "$(cd "$root/usr" && find . ! -type d | sed 's|^\./||' | sort)"

desktop-file-validate "$root/usr/share/applications/$id.desktop" ||
  fail "desktop-file-validate rejects the launcher entry"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >"$work/appstream.log" 2>&1 ||
  fail "appstreamcli rejects the metainfo: $(cat "$work/appstream.log")"

for size in "${icon_sizes[@]}"; do
  found=$(identify -format '%wx%h' "$root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png")
  [ "$found" = "${size}x${size}" ] || fail "the ${size}x${size} icon is $found"
done

for program in tallyglass tallyglass-status; do
  ! readelf -d "$root/usr/bin/$program" | grep -qE 'RPATH|RUNPATH' ||
    fail "the installed $program still has a run path into the build tree"
done

status_help=$(env -i "$root/usr/bin/tallyglass-status" --help) || fail "the installed tallyglass-status --help failed"
check_man_page "$root/usr/share/man/man1/tallyglass.1.gz"
check_man_page "$root/usr/share/man/man1/tallyglass-status.1.gz" "$status_help"
# --version comes before the single-instance lock and the display: neither is usable here.
found=$(env -i XDG_RUNTIME_DIR=/proc/no-such-folder "$root/usr/bin/tallyglass" --version) ||
  fail "tallyglass --version failed: $found"
[ "$found" = "tallyglass $version" ] || fail "tallyglass --version printed: $found"
if grep -qF -- --version <<<"$status_help"; then
  found=$(env -i "$root/usr/bin/tallyglass-status" --version) || fail "tallyglass-status --version failed"
  [ "$found" = "tallyglass-status $version" ] || fail "tallyglass-status --version printed: $found"
fi
log "installed tree checked"

# ---------------------------------------------------------------------------
log "making the Debian package"
(cd "$build" && cpack -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 ||
  fail "cpack failed: $(tail -20 "$work/cpack.log")"
deb="$work/deb/tallyglass_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "cpack made no $deb: $(ls "$work/deb")"
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1
lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.log" >&2
((lintian_status == 0)) || fail "lintian found errors in the package"
same_list "dpkg-deb -c" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | sort)"
[ "$(dpkg-deb -f "$deb" Recommends)" = "qt6-wayland, fonts-noto-cjk" ] ||
  fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks Qt: $(dpkg-deb -f "$deb" Depends)"
description=$(dpkg-deb -f "$deb" Description)
grep -qF 'npm install -g @openai/codex' <<<"$description" && grep -qF "$oldest_codex" <<<"$description" ||
  fail "the description does not say how to install Codex CLI $oldest_codex or newer"
log "package $(basename "$deb"), $(stat -c %s "$deb") bytes; lintian: no errors"

[ -n "$system" ] || exit 0

# ---------------------------------------------------------------------------
[ "$(id -u)" = 0 ] || fail "--system installs a package: run it as root on a throwaway machine"
dpkg-query -W tallyglass >/dev/null 2>&1 && fail "a tallyglass package is installed already"
log "installing the package with apt-get"
installed_package=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" </dev/null >"$work/apt.log" 2>&1 ||
  fail "apt-get install failed: $(tail -20 "$work/apt.log")"
dpkg -L tallyglass >"$work/owned.txt" || fail "dpkg -L tallyglass failed"
/usr/bin/tallyglass-status --help >/dev/null || fail "the installed tallyglass-status --help failed"

fake="$build/tests/doubles/fake-codex/fake-codex"
[ -x "$fake" ] || fail "no fake codex at $fake (build the fake-codex target)"
DS_WORK="$work/desktop"
mkdir -p "$DS_WORK"
ds_require_tools
ds_require_no_installed_codex
ds_prepare_home "$fake"
mkdir -p "$DS_WORK/config/brightfen"
printf '[General]\nrefreshIntervalSeconds=0\n' >"$DS_WORK/config/brightfen/tallyglass.conf"
echo '{}' >"$DS_WORK/scenario.json"
transcript="$DS_WORK/transcript.txt"
ds_start_xvfb 1024 768
ds_start_trayer 32
ds_start_app /usr/bin/tallyglass "$DS_WORK/scenario.json" "$transcript"
DS_WATCH_APP=1
ds_wait_until 30 "the installed tray icon to dock" ds_has_tray_icon
read_once() { (($(ds_count_received "$transcript" account/rateLimits/read) >= 1)); }
ds_wait_until 60 "one reading by the installed tray (account/rateLimits/read in the fake's transcript)" read_once

# Launch at login is the third item from the bottom of the menu: 로그인 시 실행, Codex 열기, 종료.
entry="$DS_WORK/config/autostart/tallyglass.desktop"
read -r x y < <(ds_icon_center)
xdotool mousemove "$x" "$y" click 3
ds_wait_until 20 "the menu to open" ds_has_menu
sleep 0.5
xdotool key Up Up Up Return
ds_wait_until 20 "the launch-at-login entry at $entry" test -f "$entry"
grep -qx 'Exec="/usr/bin/tallyglass"' "$entry" && grep -qx 'TryExec=/usr/bin/tallyglass' "$entry" ||
  fail "the entry does not start the installed program:"$'\n'"$(cat "$entry")"
desktop-file-validate "$entry" || fail "desktop-file-validate rejects the launch-at-login entry"
DS_WATCH_APP=""
kill -TERM "$DS_APP_PID"
ds_wait_app_exit 15
((DS_APP_EXITED == 0)) || fail "the installed tallyglass exited with $DS_APP_EXITED after SIGTERM"
ds_cleanup
log "the installed tray read once and wrote $(grep '^Exec=' "$entry")"

log "removing the package"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tallyglass </dev/null >"$work/apt.log" 2>&1 ||
  fail "apt-get remove failed: $(tail -20 "$work/apt.log")"
installed_package=""
state=$(dpkg-query -W -f='${db:Status-Status}' tallyglass 2>/dev/null)
[ -z "$state" ] || [ "$state" = not-installed ] || fail "after removal dpkg still has tallyglass as: $state"
while read -r path; do
  [ "$path" = /. ] && continue
  [ -e "$path" ] || [ -L "$path" ] || continue
  # A folder stays while another package still owns it.
  [ -d "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1 && continue
  fail "$path is left after apt-get remove"
done <"$work/owned.txt"
log "the package was removed without a trace"
