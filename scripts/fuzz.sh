#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for the given number of seconds, one after another, each from a fresh temporary
# corpus; the JSON reader's corpus is seeded from JSONTestSuite when ../shared holds it.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      SECONDS defaults to 60; TARGET to all three
#
# Prints the executions of every target. A finding stops the run with a non-zero exit, and its
# reproducer stays in build/fuzz/findings/ (replay it with build/fuzz/fuzz/TARGET FILE).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(json_reader_fuzz plan_fuzz fleet_fuzz)
jobs=${JOBS:-2}

. scripts/common.sh

# libstdc++ 12's <expected> and <source_location> need clang 19; Debian 12 packages it.
llvm=19
need_packages "clang-$llvm" "libclang-rt-$llvm-dev" cmake ninja-build

step "building the fuzz targets"
build=$root/build/fuzz
CC=clang-$llvm CXX=clang++-$llvm cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLIX_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

findings=$build/findings
mkdir -p "$findings"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seeds=$root/../shared/data/JSONTestSuite/test_parsing
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
summary=()
for name in "${targets[@]}"; do
  corpus=$work/$name
  mkdir -p "$corpus"
  args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
    -artifact_prefix="$findings/$name-")
  case $name in
    json_reader_fuzz)
      # The deepest seeds are 100 kB of brackets; a tenth of that still nests far past the limit.
      args+=(-dict="$root/fuzz/json.dict" -max_len=16384)
      if [ -d "$seeds" ]; then
        cp "$seeds"/* "$corpus"/
      fi
      ;;
    plan_fuzz) args+=(-dict="$root/fuzz/json.dict") ;;
  esac

  step "$name for ${seconds}s"
  log=$build/$name.log
  if "$build/fuzz/$name" "${args[@]}" "$corpus" >"$log" 2>&1; then
    result=ok
  else
    result=FINDING
    status=1
    grep -E 'ERROR|invariant broken|runtime error|SUMMARY|Test unit written' "$log" | head -20 >&2
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  line="$name: ${execs:-?} executions in ${seconds}s (${rate:-?}/s), $result"
  echo "$line"
  summary+=("$line")
  [ "$status" -eq 0 ] || break
done

step "fuzzing summary"
printf '%s\n' "${summary[@]}"
exit "$status"
