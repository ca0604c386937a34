#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the test suite there.
#   scripts/sanitize.sh BUILD_DIR [JOBS] [TEST_REGEX] [TARGETS]
# TEST_REGEX (a ctest -R expression) limits the run to a subset; empty runs
# every test. TARGETS (space-separated) limits the build to what that subset
# needs; empty builds everything. The ctest output goes to BUILD_DIR/ctest.log and the figures to
# BUILD_DIR/sanitize-summary.txt. A finding fails the test it happens in: test
# programs stop at their first report (tests/sanitizer_options.cpp) and the
# harness fails a test whose run of the program printed one.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:?build directory}
jobs=${2:-2}
regex=${3:-}
read -r -a targets <<<"${4:-}"

test -f "$build_dir/build.ninja" || cmake -S . -B "$build_dir" -G Ninja -DANCHORFS_SANITIZE=ON
if ! grep -q '^ANCHORFS_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt"; then
    echo "sanitize: $build_dir is not a sanitizer build" >&2
    exit 1
fi
if [[ ${#targets[@]} -eq 0 ]]; then
    cmake --build "$build_dir"
else
    cmake --build "$build_dir" --target "${targets[@]}"
fi

selection=()
[[ -z "$regex" ]] || selection=(-R "$regex")
start=$(date +%s)
status=0
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" "${selection[@]}" 2>&1 | tee "$build_dir/ctest.log" \
    || status=$?
end=$(date +%s)

{
    echo "selection: ${regex:-all}"
    sed -n 's/^.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/failed: \1\ntests: \2/p' \
        "$build_dir/ctest.log"
    echo "seconds: $((end - start))"
    echo "reports: $(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer)|: runtime error: ' "$build_dir/ctest.log" || true)"
} >"$build_dir/sanitize-summary.txt"
exit $status
