#!/usr/bin/env bash
# Builds the libFuzzer harness with clang, AddressSanitizer and UndefinedBehaviorSanitizer and runs
# it on the committed seed corpus for SECONDS (default 60). New inputs go to build-fuzz/corpus, so
# the committed seeds stay as they are; a finding leaves its input as build-fuzz/crash-*.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=$root/build-fuzz
"$root/scripts/install-deps.sh"
mkdir -p "$build"
log=$build/build.log
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DPython3_EXECUTABLE=/usr/bin/python3 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYQTWRAPPING_FUZZ=ON -DPYQTWRAPPING_BUILD_TESTS=OFF \
  -DPYQTWRAPPING_BUILD_BENCHMARKS=OFF > "$log" || { cat "$log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target pyqtwrapping_fuzzer >> "$log" || { tail -50 "$log"; exit 1; }
mkdir -p "$build/corpus"
cd "$build"
# Leaks are looked for once, when the run ends, and fail it. libFuzzer's own check after every input
# whose allocations and frees differ in number (nearly every input: the interpreter keeps caches)
# scans the whole heap each time, and held the run to about 30 inputs a second.
# allocator_may_return_null: a table too large for the machine (a zero-stride view of 2**33
# elements) is refused by the library, as the C heap refuses it outside the sanitizer.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# -entropic=0: the entropic schedule's bookkeeping of every feature an input reaches took a third
# of each run once the corpus had grown; the plain schedule finds every seeded fault as fast.
./fuzz/pyqtwrapping_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=512 \
  -detect_leaks=0 -entropic=0 -print_final_stats=1 "$build/corpus" "$root/fuzz/corpus"
