#!/usr/bin/env bash
# Builds one libFuzzer target with clang in build/fuzz and runs it for SECONDS
# on a copy of its checked-in corpus (fuzz/corpus/NAME) plus the work corpus
# build/fuzz/corpus/NAME, where new inputs collect between runs. Prints
# libFuzzer's final figures (its whole output is in build/fuzz/logs/TARGET.log);
# exits non-zero when the target crashed, leaving the input in
# build/fuzz/artifacts/TARGET/. Further arguments go to libFuzzer.
#
#   tools/fuzz.sh fuzz_line_parser 60
#   tools/fuzz.sh fuzz_settings_file 1800 -runs=10000000
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz

seeds=$root/fuzz/corpus/${target#fuzz_}
if [ ! -d "$seeds" ]; then
  echo "$0: no corpus at $seeds" >&2
  exit 2
fi

mkdir -p "$build"
if ! CC=clang CXX=clang++ nice cmake -S "$root" -B "$build" -G Ninja \
     -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYGLASS_FUZZ=ON >"$build/configure.log" 2>&1; then
  cat "$build/configure.log" >&2
  exit 2
fi
nice cmake --build "$build" --target "$target" --parallel "${FUZZ_BUILD_JOBS:-2}"

work=$build/corpus/$target
artifacts=$build/artifacts/$target
log=$build/logs/$target.log
mkdir -p "$work" "$artifacts" "$(dirname "$log")"
seed_copy=$(mktemp -d)
trap 'rm -rf "$seed_copy"' EXIT
cp -R "$seeds/." "$seed_copy/"

# Qt's stream reader (for "@Variant(...)" settings) reserves room for a count
# read from the file before reading the items. In a normal build that memory
# stays untouched, or the reservation fails and Qt gives up on the value. Under
# ASan the untouched gigabytes would still cost shadow memory that adds up over
# a run, so reservations above 1 GiB fail here instead.
if [ "$target" = fuzz_settings_file ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:max_allocation_size_mb=1024
fi

# Qt is built without frame pointers, so ASan's walk for an allocation's stack reads
# stray words once it passes Qt's allocator: nearly every block Qt allocates for the
# cycle got a stack of its own (2.3 M after 670 k inputs, 116 MB), and the run slowed
# as that table grew. Two frames still show what called the allocator; run an input
# again without this to see more.
if [ "$target" = fuzz_client_cycle ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}malloc_context_size=2
fi

# Targets that write settings files keep them in memory when /dev/shm exists.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

# New inputs go to the first folder only; the checked-in seeds stay untouched.
status=0
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} nice -n 15 "$build/fuzz/$target" \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/" \
  "$@" "$work" "$seed_copy" >"$log" 2>&1 || status=$?

grep -E '^(==[0-9]+== ERROR|SUMMARY|fuzz invariant broken|artifact_prefix|Test unit written)' "$log" || true
grep -E '^#[0-9]+' "$log" | tail -n 1 || true
grep -E '^stat::' "$log" || true
echo "corpus: $(find "$work" -type f | wc -l) inputs in $work"
if [ "$status" -ne 0 ]; then
  echo "$0: $target failed with status $status; the end of $log:" >&2
  tail -n 60 "$log" >&2
fi
exit "$status"
