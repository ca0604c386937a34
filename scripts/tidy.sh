#!/usr/bin/env bash
# Static analysis of the program with clang-tidy and the checked-in .clang-tidy.
#   scripts/tidy.sh [BUILD_DIR]     (default build-tidy)
# Configures BUILD_DIR for a compile database only (nothing is built), runs
# clang-tidy over every source file in src/, writes the findings to
# BUILD_DIR/tidy.log and a summary to BUILD_DIR/tidy-summary.txt, and fails
# when there is any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-tidy}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [[ -z "$tidy" ]]; then
    echo "tidy: clang-tidy not found (scripts/install-deps.sh tidy installs it)" >&2
    exit 1
fi

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DANCHORFS_TESTS=OFF >/dev/null

mapfile -t sources < <(find src -name '*.cpp' | sort)
log="$build_dir/tidy.log"
status=0
# One file per clang-tidy process, as many at once as there are processors.
printf '%s\n' "${sources[@]}" \
    | xargs -P "$(nproc)" -n 1 "$tidy" -p "$build_dir" --quiet >"$log" 2>&1 || status=$?

findings=$(grep -cE '(warning|error): .*\[[a-zA-Z0-9.,-]+\]$' "$log" || true)
checks=$("$tidy" --list-checks -p "$build_dir" "${sources[0]}" | grep -c '^ ' || true)
{
    echo "clang-tidy: $("$tidy" --version | sed -n 's/.*LLVM version //p')"
    echo "files: ${#sources[@]}"
    echo "checks: $checks"
    echo "findings: $findings"
} >"$build_dir/tidy-summary.txt"
cat "$build_dir/tidy-summary.txt"

if [[ $status -ne 0 || $findings -ne 0 ]]; then
    grep -E '(warning|error):' "$log" | sort -u
    echo "tidy: findings above (full output in $log)" >&2
    exit 1
fi
