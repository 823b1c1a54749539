#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over the product code (not tests or
# benchmarks). Needs a configured build with compile_commands.json. Usage: lint.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
[[ -f "$build/compile_commands.json" ]] || { echo "lint: no $build/compile_commands.json; configure first" >&2; exit 1; }
mapfile -t sources < <(git ls-files '*.cpp' | grep -vE '^(tests|bench)/')
echo "lint: clang-tidy over ${#sources[@]} files"
run-clang-tidy -p "$build" -j"$(nproc)" -quiet "${sources[@]}" >"$build/clang-tidy.log" 2>&1 || {
    sed 's/\x1b\[[0-9;]*m//g' "$build/clang-tidy.log" | grep -E 'error:|warning:' | sort -u
    echo "lint: clang-tidy found problems (full log: $build/clang-tidy.log)" >&2
    exit 1
}
echo "lint: clean"
