#!/usr/bin/env bash
# Builds the fuzz targets and runs each of them for a while.
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [BUILD_DIR]
#
# SECONDS_PER_TARGET defaults to 20, BUILD_DIR to build-fuzz in the source
# tree. The build directory is configured with clang (SL_FUZZ=ON, no unit
# tests) when it has not been, and the targets are brought up to date. Each
# target runs in a scratch directory on a copy of its seed corpus from
# fuzz/corpus/<name>/, so the committed corpus never changes. A table of
# executions per target follows; the exit status is non-zero when any
# target failed, and its crash input is kept in BUILD_DIR/fuzz-artifacts/.
#
# Environment: CC and CXX (default clang and clang++) for a new build
# directory; SL_WERROR=ON (or OFF) sets whether warnings are errors;
# SL_FUZZ_JOBS=N runs N targets at a time (default 1); SL_FUZZ_KEEP=1
# keeps the scratch directory with the grown corpora.
set -u

seconds=${1:-20}
src_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${2:-$src_dir/build-fuzz}
mkdir -p "$build_dir" && build_dir=$(cd "$build_dir" && pwd)  # the targets run from scratch directories
case $seconds in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET] [BUILD_DIR]" >&2; exit 2 ;;
esac

# The largest input per target: beyond the buffers the parsers work with
# (4096-byte template buffer, 4096-byte SMTP receive buffer), small where
# the real input is small.
max_len_of() {
  case $1 in
    discovery) echo 512 ;;
    http_request | smtp_reply | page_producer) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  echo "== configuring $build_dir"
  mkdir -p "$build_dir" || exit 2
  CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$src_dir" -B "$build_dir" \
    -DSL_FUZZ=ON -DSL_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$build_dir/fuzz-configure.log" 2>&1 ||
    { cat "$build_dir/fuzz-configure.log" >&2; exit 2; }
elif ! grep -q '^SL_FUZZ:BOOL=ON' "$build_dir/CMakeCache.txt"; then
  cmake -S "$src_dir" -B "$build_dir" -DSL_FUZZ=ON > /dev/null || exit 2
fi
if [ -n "${SL_WERROR:-}" ]; then
  cmake -S "$src_dir" -B "$build_dir" -DSL_WERROR="$SL_WERROR" > /dev/null || exit 2
fi
echo "== building the fuzz targets"
cmake --build "$build_dir" --target fuzz_targets -j2 > "$build_dir/fuzz-build.log" 2>&1 ||
  { tail -40 "$build_dir/fuzz-build.log" >&2; exit 2; }

targets=()
for src in "$src_dir"/fuzz/*_fuzz.cc; do
  name=$(basename "$src" _fuzz.cc)
  if [ ! -x "$build_dir/fuzz/${name}_fuzz" ]; then
    echo "missing $build_dir/fuzz/${name}_fuzz (is the compiler clang?)" >&2
    exit 2
  fi
  targets+=("$name")
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/sl-fuzz.XXXXXX")
artifacts=$build_dir/fuzz-artifacts
# One target: runs it, then writes its row of the table to $work/row.
run_target() {
  local name=$1 work=$scratch/$1
  local log=$work/fuzz.log
  (cd "$work" && "$build_dir/fuzz/${name}_fuzz" corpus \
      -max_total_time="$seconds" -max_len="$(max_len_of "$name")" -timeout=25 \
      -print_final_stats=1 -artifact_prefix="$artifacts/$name/" > "$log" 2>&1)
  local status=$?
  local execs rate added result=ok
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)
  if [ "$status" -ne 0 ]; then
    result="FAILED ($status)"
    {
      echo "---- $name failed; end of its log:"
      grep -v -E '^#[0-9]+' "$log" | tail -40
      ls -1 "$artifacts/$name"/* 2> /dev/null | sed 's/^/kept input: /'
    } > "$work/failure"
    cp "$log" "$artifacts/$name/fuzz.log"
  fi
  printf '%-16s %12s %10s %10s  %s\n' "$name" "${execs:--}" "${rate:--}" "${added:--}" "$result" \
    > "$work/row"
}

# SL_FUZZ_JOBS targets run at a time (default 1).
jobs=${SL_FUZZ_JOBS:-1}
running=0
for name in "${targets[@]}"; do
  work=$scratch/$name
  mkdir -p "$work/corpus" "$artifacts/$name"
  if [ -d "$src_dir/fuzz/corpus/$name" ]; then
    cp -R "$src_dir/fuzz/corpus/$name/." "$work/corpus/"
  fi
  echo "== $name: ${seconds}s"
  run_target "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failed=0
rows=()
for name in "${targets[@]}"; do
  if [ -f "$scratch/$name/failure" ]; then
    failed=1
    cat "$scratch/$name/failure"
  fi
  rows+=("$(cat "$scratch/$name/row")")
done

echo
printf '%-16s %12s %10s %10s  %s\n' target executions exec/s new_units result
for row in "${rows[@]}"; do echo "$row"; done

if [ "${SL_FUZZ_KEEP:-0}" = 1 ]; then
  echo "scratch directory kept: $scratch"
else
  rm -rf "$scratch"
fi
rmdir "$artifacts"/* "$artifacts" 2> /dev/null
exit $failed
