#!/usr/bin/env bash
# Builds the fuzz targets with clang (coverage, ASan, UBSan) in build-fuzz, then
# for each target replays the saved crash inputs of fuzz/regressions/<target>/
# and fuzzes a scratch copy of fuzz/corpus/<target>/ for a bounded time. Fails
# when any target crashes, leaks, hangs or gets a sanitizer report; the input
# that did it is kept in build-fuzz/fuzz-artifacts/.
#   fuzz/run.sh [target...]     FUZZ_SECONDS per target (default 9)
# Inputs worth keeping can be merged into the corpus by hand:
#   build-fuzz/fuzz/fuzz_T -merge=1 fuzz/corpus/T build-fuzz/fuzz-work/T
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${NIVRA_FUZZ_BUILD:-$src/build-fuzz}
seconds=${FUZZ_SECONDS:-9}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(dpi_reader kill_prefix split_path debug_cmdline size_input capture xsettings redact)

cmake -S "$src" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DNIVRA_FUZZ=ON -DNIVRA_WERROR=ON -DBUILD_TESTING=OFF -DNIVRA_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_targets -j"$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
failed=()
for t in "${targets[@]}"; do
  bin=$build/fuzz/fuzz_$t
  log=$build/fuzz-logs/$t.log
  # The code under test prints on every call; close_fd_mask keeps the log to
  # libFuzzer's lines and the sanitizer reports.
  opts=(-close_fd_mask=3 -timeout=10 -detect_leaks=1 -artifact_prefix="$build/fuzz-artifacts/$t-")
  [ -f "$src/fuzz/$t.dict" ] && opts+=(-dict="$src/fuzz/$t.dict")
  # A full kill list takes some 370 listing lines.
  [ "$t" = kill_prefix ] && opts+=(-max_len=8192)

  regressions=("$src/fuzz/regressions/$t"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "== $t: ${#regressions[@]} saved crash inputs"
    if ! "$bin" "${opts[@]}" "${regressions[@]}" >"$log" 2>&1; then
      tail -n 60 "$log"
      failed+=("$t (saved input)")
      continue
    fi
  fi

  work=$build/fuzz-work/$t
  rm -rf "$work"
  mkdir -p "$work"
  cp "$src/fuzz/corpus/$t"/* "$work"/
  echo "== $t: ${seconds}s"
  if "$bin" "${opts[@]}" -max_total_time="$seconds" "$work" >"$log" 2>&1; then
    grep -E '^(Done|#[0-9]+ +DONE)' "$log" | tr '\n' ' '
    echo
  else
    tail -n 60 "$log"
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs in $build/fuzz-artifacts, logs in $build/fuzz-logs)"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets clean"
