#!/usr/bin/env bash
# One full reading by tallyglass-status against the oldest Codex CLI Tallyglass supports,
# then an attempt to spend a banked reset, which that version does not know; offline:
# fake-backend stands in for the ChatGPT backend and writes the CLI's sign-in. It serves
# the whole allowance (other buckets, credits, banked resets), which this version must
# read as it always did.
#
#   oldest-codex-test.sh TALLYGLASS_STATUS FAKE_BACKEND CODEX_CLI_DIR VERSION
#
# CODEX_CLI_DIR is an npm folder (tests/system/codex-cli-0.58) whose node_modules/.bin/codex is
# the CLI; its launcher finds the native binary in whichever layout that version uses.
set -uo pipefail

status_program=${1:?tallyglass-status executable}
backend_program=${2:?fake-backend executable}
cli_dir=${3:?Codex CLI npm folder}
version=${4:?expected Codex CLI version}

fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/tallyglass-oldest-codex.XXXXXX")
backend_pid=""
cleanup() {
  exec 3>&- 2>/dev/null # the backend ends when its input closes
  if [ -n "$backend_pid" ]; then
    kill "$backend_pid" 2>/dev/null
    wait "$backend_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

codex="$cli_dir/node_modules/.bin/codex"
[ -x "$codex" ] || fail "no Codex CLI at $codex; install it with: npm ci --prefix $cli_dir"
node=$(command -v node) || fail "node is not on PATH"
found=$(timeout 30 "$codex" --version 2>&1) || fail "$codex --version failed: $found"
[ "$found" = "codex-cli $version" ] || fail "expected codex-cli $version, found: $found"

# The locator tries fixed folders under the account's home before PATH.
home=$(getent passwd "$(id -u)" | cut -d: -f6)
for candidate in "$home/.local/bin/codex" /opt/homebrew/bin/codex /usr/local/bin/codex "$home/.npm-global/bin/codex"; do
  [ -e "$candidate" ] && fail "$candidate would be run instead of codex-cli $version; move it away for this test"
done

mkdir -p "$work/bin" "$work/home" "$work/codex-home"
ln -s "$(cd "$cli_dir" && pwd)/node_modules/.bin/codex" "$work/bin/codex"

mkfifo "$work/backend-in"
"$backend_program" whole --codex-home "$work/codex-home" <"$work/backend-in" >"$work/backend.out" 2>&1 &
backend_pid=$!
exec 3>"$work/backend-in"
for _ in $(seq 100); do
  [ -s "$work/backend.out" ] && break
  sleep 0.1
done
grep -q '^http://127\.0\.0\.1:' "$work/backend.out" || fail "fake-backend did not start: $(cat "$work/backend.out")"

sanitizers=()
for variable in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS; do
  [ -n "${!variable:-}" ] && sanitizers+=("$variable=${!variable}")
done
env -i PATH="$work/bin:$(dirname "$node"):/usr/bin:/bin" HOME="$work/home" CODEX_HOME="$work/codex-home" \
  LANG=C.UTF-8 "${sanitizers[@]}" timeout -k 5 150 "$status_program" --timeout 120 </dev/null >"$work/out" 2>"$work/err"
code=$?
describe="exit $code; stdout: $(cat "$work/out"); stderr: $(tail -5 "$work/err")"
((code == 0)) || fail "tallyglass-status against codex-cli $version: $describe"
# fake-backend answers 37 % used of the five-hour window and 12 % of the week.
tail -n 1 "$work/out" | grep -q '^{"snapshot":{"fiveHour":{.*"usedPercent":37.*"week":{.*"usedPercent":12' ||
  fail "the last line is no reading of the backend's figures: $describe"
echo "codex-cli $version: $(tail -n 1 "$work/out")"

# This version knows no banked resets: the request is refused as unknown, which ends
# the attempt for good (no key kept for a retry).
env -i PATH="$work/bin:$(dirname "$node"):/usr/bin:/bin" HOME="$work/home" CODEX_HOME="$work/codex-home" \
  LANG=C.UTF-8 "${sanitizers[@]}" timeout -k 5 150 "$status_program" --use-reset --yes --timeout 120 \
  </dev/null >"$work/out" 2>"$work/err"
code=$?
describe="exit $code; stdout: $(cat "$work/out"); stderr: $(tail -5 "$work/err")"
((code == 1)) || fail "--use-reset against codex-cli $version: $describe"
grep -qF '{"status":"이 Codex 버전은 한도 리셋을 지원하지 않음"}' "$work/out" ||
  fail "--use-reset against codex-cli $version does not say the version lacks resets: $describe"
[ ! -e "$work/home/.local/state/tallyglass/pending-reset" ] ||
  fail "--use-reset against codex-cli $version kept its key: $describe"
echo "codex-cli $version --use-reset: $(grep -F '한도 리셋' "$work/out" | tr '\n' ' ')"
