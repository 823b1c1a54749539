#!/usr/bin/env bash
# Builds and runs every test: sanitizer builds first (AddressSanitizer with UBSan, then
# ThreadSanitizer for the threaded library), a bounded fuzz run, then the Release suite built with
# warnings as errors, and clang-tidy over the product code last.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

scripts/install-deps.sh --test

# GL tests need a display; give them a virtual one when there is none. -noreset: an X server
# resets when its last client leaves, and a test that connects during the reset finds no display.
xvfb=()
if [[ -z "${DISPLAY:-}" ]]; then
    xvfb=(xvfb-run -a -s "-screen 0 1280x1024x24 -noreset")
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

section() { echo; echo "=== $* ==="; }

section "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build build/asan -j"$jobs"
# LeakSanitizer's exit-time scan now and then crashes in its own tracer ("Tracer caught signal
# 11") while the GL driver's threads wind down; a test that fails that way gets one more try.
"${xvfb[@]}" ctest --test-dir build/asan --output-on-failure -j"$jobs" --repeat until-pass:2

section "ThreadSanitizer (threaded library tests)"
cmake --preset tsan >/dev/null
cmake --build build/tsan -j"$jobs"
ctest --test-dir build/tsan --output-on-failure -j"$jobs"

section "Fuzzing (bounded)"
cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target fuzzers -j"$jobs"
mapfile -t fuzzers < <(find build/fuzz/tests/fuzz -maxdepth 1 -name '*_fuzzer' -type f -executable)
[[ ${#fuzzers[@]} -gt 0 ]] || { echo "test: no fuzzers were built" >&2; exit 1; }
for fuzzer in "${fuzzers[@]}"; do
    echo "fuzz: $fuzzer for ${FUZZ_SECONDS:-40} s"
    corpus=$(mktemp -d)
    "$fuzzer" -max_total_time="${FUZZ_SECONDS:-40}" -rss_limit_mb=2048 -print_final_stats=1 \
        "$corpus" 2>&1 | tail -n 5
    rm -rf "$corpus"
done

section "Release (warnings are errors)"
cmake --preset ci >/dev/null
cmake --build build/ci -j"$jobs"
"${xvfb[@]}" ctest --test-dir build/ci --output-on-failure -j"$jobs"

section "Install"
# What `cmake --install` lays out, the udev rule that gives the headset to the seat's user above all.
staged=$(mktemp -d)
cmake --install build/ci --prefix "$staged" >/dev/null
for installed in bin/nadirport lib/udev/rules.d/70-visor-headset.rules; do
    [[ -f "$staged/$installed" ]] || { echo "test: cmake --install did not install $installed" >&2; exit 1; }
done
echo "install: bin/nadirport and the udev rule are in place"
rm -rf "$staged"

section "clang-tidy"
scripts/lint.sh build/ci
