#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer
# (in build-fuzz/) and runs each of them on its corpus.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
# SECONDS (default 30) is each target's run time. New inputs go into build-fuzz/corpus/<target>,
# which starts from the committed seeds in fuzz/corpus/<target>; a crash, leak or hang leaves
# its input in build-fuzz/findings/<target>/ and makes the script fail. A finding, once fixed,
# is committed to fuzz/regressions/<target>/, which ctest replays.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then targets=(open save run_length image_files); fi

bash scripts/setup.sh --native clang libclang-rt-14-dev > /dev/null

dir=build-fuzz
echo "== build $dir"
mkdir -p "$dir"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DTNIFF_SANITIZE=ON \
  -DTNIFF_FUZZ=ON -DTNIFF_BUILD_TESTS=OFF > "$dir/configure.log" 2>&1 \
  || { cat "$dir/configure.log"; exit 1; }
fuzzers=()
for target in "${targets[@]}"; do fuzzers+=("fuzz_$target"); done
cmake --build "$dir" -j 2 --target "${fuzzers[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for target in "${targets[@]}"; do
  corpus="$dir/corpus/$target"
  findings="$dir/findings/$target"
  mkdir -p "$corpus" "$findings"
  seeds=("fuzz/corpus/$target")
  if [ -d "fuzz/regressions/$target" ]; then seeds+=("fuzz/regressions/$target"); fi
  if [ "$target" = open ]; then seeds+=(samples); fi
  log="$dir/fuzz-$target.log"
  echo "== fuzz $target for ${seconds}s (log: $log)"
  # One allocation above 2 GiB is a finding; the process as a whole may grow further, as a PNG
  # header may rightly ask for a large image and the sanitizer keeps freed memory in quarantine.
  if "$dir/bin/fuzz_$target" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -timeout=20 \
       -malloc_limit_mb=2048 -rss_limit_mb=4096 -max_len=65536 -print_final_stats=1 -artifact_prefix="$findings/" \
       > "$log" 2>&1; then
    grep -E "DONE" "$log" | tail -1 || true
  else
    status=1
    echo "fuzz: $target found a fault; its input is in $findings/"
    grep -E "ERROR|FINDING|SUMMARY|Test unit written" "$log" | head -5 || true
  fi
done
exit $status
