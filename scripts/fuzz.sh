#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time.
#   scripts/fuzz.sh BUILD_DIR SECONDS_PER_TARGET
# BUILD_DIR holds the built fuzz_* programs (`make fuzz` builds them). Each
# target starts from its checked-in seeds (fuzz/corpus/<target>/, never
# written) and a working corpus in BUILD_DIR/corpus/<target>/ that grows from
# run to run. Logs go to BUILD_DIR/logs/, crash inputs to BUILD_DIR/artifacts/,
# and one summary line per target to BUILD_DIR/fuzz-summary.tsv:
#   target  seconds  executions  executions_per_second  corpus_entries  result
# Exits non-zero when any target found a crash, a leak or a disagreement.
set -euo pipefail

build_dir=$(cd "${1:?build directory}" && pwd)
seconds=${2:?seconds per target}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
targets=(argument_forms bookmark_record front_end)

mkdir -p "$build_dir/logs" "$build_dir/artifacts"
# The targets chdir into a scratch directory below this one and remove it when
# they end; one that crashed leaves it, so the whole base goes afterwards.
scratch_base=$(mktemp -d "${TMPDIR:-/tmp}/anchorfs-fuzz-runs.XXXXXX")
trap 'rm -rf "$scratch_base"' EXIT

summary="$build_dir/fuzz-summary.tsv"
printf 'target\tseconds\texecutions\texecutions_per_second\tcorpus_entries\tresult\n' >"$summary"
failed=0
for target in "${targets[@]}"; do
    corpus="$build_dir/corpus/$target"
    log="$build_dir/logs/$target.log"
    mkdir -p "$corpus"
    echo "fuzz: $target for ${seconds}s"
    status=0
    # -timeout: one input running for 10 s counts as a hang. -rss_limit_mb: the
    # machine is shared with the rest of CI.
    ANCHORFS_FUZZ_SCRATCH="$scratch_base" "$build_dir/fuzz_$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build_dir/artifacts/$target-" \
        "$corpus" "$source_dir/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    entries=$(find "$corpus" -type f | wc -l)
    if [[ $status -eq 0 ]]; then
        result=clean
    else
        result="failed($status)"
        failed=1
        echo "fuzz: $target failed with status $status; the end of $log:"
        tail -n 60 "$log"
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$target" "$seconds" "${executions:-0}" "${rate:-0}" "$entries" "$result" \
        >>"$summary"
    echo "fuzz: $target: ${executions:-0} executions (${rate:-0}/s), $entries corpus entries, $result"
done
exit $failed
