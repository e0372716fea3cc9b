#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each one
# over its seed corpus.
#
#   fuzz/run.sh            CI mode: a fixed number of runs per target (below),
#                          all targets together within 5 minutes on 2 cores,
#                          build included
#   fuzz/run.sh 200000     that many runs per target
#   fuzz/run.sh 30m        that long per target (s, m or h): on-demand fuzzing
#
# Environment: FUZZ_BUILD_DIR (build-fuzz), FUZZ_JOBS (targets run at once,
# default the number of cores), FUZZ_TARGETS (a subset, space-separated),
# FUZZ_SEED (libFuzzer's -seed; by default each run picks and prints one).
# The corpus each target grows is kept in $FUZZ_BUILD_DIR/corpus/<target>, so
# on-demand runs build on each other; inputs that fail are written to
# $FUZZ_BUILD_DIR/crashes/. Exits non-zero when any target fails.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}
targets=(${FUZZ_TARGETS:-voice_load speak text_analysis registry_store sapi_xml})

# CI runs per target: on 2 cores about 2 minutes of fuzzing in all, after a
# build of two to four minutes. voice_load is the slowest (under 100 runs a
# second: each run writes and maps a 700 KB unit index) and starts first.
declare -A ci_runs=([voice_load]=5000 [speak]=20000 [text_analysis]=1000000 [registry_store]=12000 [sapi_xml]=600000)
# Largest input each target is given.
declare -A max_len=([voice_load]=24000 [speak]=1024 [text_analysis]=256 [registry_store]=4096 [sapi_xml]=4096)

mode=ci
budget=""
if [ $# -gt 0 ]; then
  case "$1" in
    *[0-9]s) mode=time; budget=${1%s} ;;
    *[0-9]m) mode=time; budget=$(( ${1%m} * 60 )) ;;
    *[0-9]h) mode=time; budget=$(( ${1%h} * 3600 )) ;;
    *[!0-9]* | "") echo "usage: fuzz/run.sh [RUNS | SECONDS{s,m,h}]" >&2; exit 2 ;;
    *) mode=runs; budget=$1 ;;
  esac
fi

if ! command -v clang++ >/dev/null; then
  echo "fuzz/run.sh needs clang++ and libFuzzer: apt-get install clang libclang-rt-14-dev" >&2
  exit 2
fi

echo "== building the fuzz targets in $build_dir"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSONVALE_FUZZ=ON -DSONVALE_BUILD_TESTS=OFF -DSONVALE_WERROR=OFF >/dev/null
cmake --build "$build_dir" --target fuzz_make_seeds $(printf 'fuzz_%s ' "${targets[@]}")

seeds="$build_dir/seeds"
rm -rf "$seeds"
"$build_dir/fuzz/fuzz_make_seeds" "$seeds" >/dev/null
mkdir -p "$build_dir/crashes" "$build_dir/logs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_target() {
  local t=$1
  local corpus="$build_dir/corpus/$t"
  mkdir -p "$corpus"
  local args=(-max_len="${max_len[$t]}" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
              -artifact_prefix="$build_dir/crashes/$t-")
  case $mode in
    ci) args+=(-runs="${ci_runs[$t]}") ;;
    runs) args+=(-runs="$budget") ;;
    time) args+=(-max_total_time="$budget") ;;
  esac
  [ -n "${FUZZ_SEED:-}" ] && args+=(-seed="$FUZZ_SEED")
  [ -f "fuzz/$t.dict" ] && args+=(-dict="fuzz/$t.dict")
  local extra=()
  [ -d "fuzz/corpus/$t" ] && extra+=("fuzz/corpus/$t")
  local status=0
  "$build_dir/fuzz/fuzz_$t" "${args[@]}" "$corpus" "$seeds/$t" "${extra[@]}" >"$build_dir/logs/$t.log" 2>&1 || status=$?
  echo "$status" >"$build_dir/logs/$t.status"
}

echo "== fuzzing (${mode}${budget:+ $budget}) with $jobs at a time: ${targets[*]}"
failed=()
start=$SECONDS
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  rm -f "$build_dir/logs/$t.status"
  run_target "$t" &
done
wait
for t in "${targets[@]}"; do
  [ "$(cat "$build_dir/logs/$t.status" 2>/dev/null || echo 1)" = 0 ] || failed+=("$t")
done

echo "== results ($((SECONDS - start)) s)"
for t in "${targets[@]}"; do
  log="$build_dir/logs/$t.log"
  runs=$(awk '/stat::number_of_executed_units:/ {n = $2} END {print n}' "$log")
  speed=$(awk '/stat::average_exec_per_sec:/ {n = $2} END {print n}' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  printf '%-15s runs %-9s exec/s %-7s coverage %-6s corpus %s\n' "$t" "${runs:-?}" "${speed:-?}" "${cov:-?}" \
    "$(ls "$build_dir/corpus/$t" | wc -l)"
done
if [ ${#failed[@]} -gt 0 ]; then
  for t in "${failed[@]}"; do
    echo "== $t FAILED; the end of $build_dir/logs/$t.log:"
    tail -n 40 "$build_dir/logs/$t.log"
  done
  echo "inputs that failed are in $build_dir/crashes/ (replay one: $build_dir/fuzz/fuzz_<target> FILE)"
  exit 1
fi
