#!/usr/bin/env bash
# Runs tray-refresh-bench the way the tray runs on a desktop: a private X server with
# the trayer tray host, the fake codex first on PATH, a throwaway home. The bench
# prints its figures and exits non-zero when a target is missed.
#
#   bench/app/run-tray-refresh-bench.sh [BUILD_DIR] [bench options...]
#   (BUILD_DIR defaults to build/release; options: --refreshes N --idle-seconds S)
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/release}
shift || true
build=$(cd "$build" && pwd) || exit 2 # absolute: the fake's link must resolve from the home
bench="$build/bench/app/tray-refresh-bench"
fake="$build/tests/doubles/fake-codex/fake-codex"

# shellcheck source=tests/system/desktop/desktop-session.sh
source "$root/tests/system/desktop/desktop-session.sh"

ds_require_built "$build" "tray-refresh-bench fake-codex" "$bench" "$fake"
ds_make_work bench

ds_start_xvfb 1024 768
ds_start_trayer 32
ds_prepare_home "$fake"
# An empty scenario: the fake answers every cycle with the same happy reading; no
# transcript, so the fake's own disk writes stay out of the picture.
echo '{}' >"$DS_WORK/scenario.json"

ds_start_app "$bench" "$DS_WORK/scenario.json" "" -- "$@"
wait "$DS_APP_PID"
status=$?
cat "$DS_WORK/app.out"
[ -s "$DS_WORK/app.err" ] && { echo "--- stderr:"; cat "$DS_WORK/app.err"; }
exit "$status"
