#!/usr/bin/env bash
# Builds everything with gcov instrumentation (GCC, -O0), runs the test suite
# there and has gcovr report the lines, branches and functions of src/ that
# the suite executes.
#   scripts/coverage.sh BUILD_DIR [JOBS] [TEST_REGEX] [TARGETS]
# An empty TEST_REGEX runs every test (the campaigns with their default
# bounds) on counts set to zero; a TEST_REGEX (a ctest -R expression) runs
# that subset and adds its counts to those already gathered. TARGETS
# (space-separated) limits the build. Results in BUILD_DIR: coverage.txt
# (figures per file with the uncovered lines), coverage.json (every line, for
# scripts/coverage-report.py), coverage.html (annotated sources),
# coverage-summary.txt (coverage-whole-run.txt: the last whole run's), ctest.log,
# and profile-errors.log for runs whose
# counts could not be written.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:?build directory}
jobs=${2:-2}
regex=${3:-}
read -r -a targets <<<"${4:-}"

test -f "$build_dir/build.ninja" \
    || cmake -S . -B "$build_dir" -G Ninja -DANCHORFS_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug
if ! grep -q '^ANCHORFS_COVERAGE:BOOL=ON' "$build_dir/CMakeCache.txt"; then
    echo "coverage: $build_dir is not a coverage build" >&2
    exit 1
fi
if [[ ${#targets[@]} -eq 0 ]]; then
    cmake --build "$build_dir"
else
    cmake --build "$build_dir" --target "${targets[@]}"
fi
build_dir=$(cd "$build_dir" && pwd)

# Counts of an object that was rebuilt since belong to code that is gone; a
# whole run starts from zero.
if [[ -z "$regex" ]]; then
    find "$build_dir" -name '*.gcda' -delete
    rm -f "$build_dir/profile-errors.log"
else
    find "$build_dir" -name '*.gcno' | while read -r notes; do
        counts=${notes%.gcno}.gcda
        if [[ -e "$counts" && "$notes" -nt "$counts" && -s "$counts" ]]; then
            rm -f "$counts"
        fi
    done
fi
# Some runs are made as an unprivileged user, and the program writes its
# counts at exit to the .gcda file beside each object, a path fixed at build
# time (a run empties its environment, so GCOV_PREFIX cannot move it). Every
# such file is made beforehand, empty and writable by all: the runtime then
# only opens and rewrites it in place.
find "$build_dir" -name '*.gcno' | while read -r notes; do
    counts=${notes%.gcno}.gcda
    if [[ ! -e "$counts" ]]; then
        : >"$counts"
        chmod 0666 "$counts"
    fi
done
directory=$build_dir
while [[ "$directory" != / ]]; do
    if [[ $(( 0$(stat -c %a "$directory") & 01 )) -eq 0 ]]; then
        echo "coverage: $directory is not searchable by others; runs as an unprivileged user" \
            "will lose their counts (see $build_dir/profile-errors.log)" >&2
    fi
    directory=$(dirname "$directory")
done

selection=()
[[ -z "$regex" ]] || selection=(-R "$regex")
start=$(date +%s)
status=0
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" "${selection[@]}" 2>&1 | tee "$build_dir/ctest.log" \
    || status=$?
end=$(date +%s)

# Branches only count where the source decides: gcovr's
# --exclude-unreachable-branches drops those GCC attributes to lines without
# code (a closing brace, where destructors of owners run). Throw branches need
# no exclusion: the program is built with -fno-exceptions and has none.
gcovr --root . --filter 'src/' --object-directory "$build_dir" "$build_dir" \
    --exclude-unreachable-branches -j "$jobs" \
    --json "$build_dir/coverage.json" --txt "$build_dir/coverage.txt" \
    --html-details "$build_dir/coverage.html" --print-summary >"$build_dir/gcovr.log" 2>&1 || {
    cat "$build_dir/gcovr.log" >&2
    exit 1
}
{
    echo "selection: ${regex:-all}"
    sed -n 's/^.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/failed: \1\ntests: \2/p' \
        "$build_dir/ctest.log"
    echo "seconds: $((end - start))"
    echo "profile write errors: $(cat "$build_dir/profile-errors.log" 2>/dev/null | grep -c . || true)"
    grep -E '^(lines|functions|branches):' "$build_dir/gcovr.log"
} >"$build_dir/coverage-summary.txt"
[[ -n "$regex" ]] || cp "$build_dir/coverage-summary.txt" "$build_dir/coverage-whole-run.txt"
cat "$build_dir/coverage-summary.txt"
exit $status
