#!/bin/sh
# Runs the crash, fault and adversarial campaigns (tests/campaign) and writes
# their counts into docs/reliability.md, between the campaign markers; the
# rest of the document (sanitizer and fuzzing sections) is kept as it is.
#
#   scripts/reliability-report.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build/ and must hold a built tests/campaign_tests.
# ANCHORFS_SOAK_ITERATIONS (default 2000) and ANCHORFS_SOAK_SEED (default 1)
# set the length and seed of the soak. Nothing is written when a campaign fails.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
binary="$build/tests/campaign_tests"
document="$root/docs/reliability.md"
begin='<!-- campaign counts: begin (written by scripts/reliability-report.sh) -->'
end='<!-- campaign counts: end -->'

if [ ! -x "$binary" ]; then
    echo "reliability-report: $binary not built (make build)" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
counts="$work/counts"
: >"$counts"

iterations=${ANCHORFS_SOAK_ITERATIONS:-2000}
seed=${ANCHORFS_SOAK_SEED:-1}
echo "reliability-report: running the campaigns (soak: $iterations iterations, seed $seed)" >&2
if ! ANCHORFS_CAMPAIGN_COUNTS="$counts" ANCHORFS_SOAK_ITERATIONS="$iterations" ANCHORFS_SOAK_SEED="$seed" \
    "$binary" >"$work/log" 2>&1; then
    tail -n 60 "$work/log" >&2
    echo "reliability-report: a campaign failed; $document left unchanged" >&2
    exit 1
fi

# counts: one line per figure, "campaign<TAB>command<TAB>what<TAB>value".
awk -F '\t' -v date="$(date -u +%Y-%m-%d)" -v commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)" '
function add(list, item) { return list == "" ? item : list ", " item }
{
    campaign = $1; command = $2; what = $3; value = $4
    if (!((campaign, command) in seen)) {
        seen[campaign, command] = 1
        order[campaign, ++count[campaign]] = command
    }
    if (campaign == "crash") {
        if (what == "kill points") { kills[command] = value; total_kills += value }
        else if (what == "undo kill points") { undo_kills[command] = value; total_undo_kills += value }
        else if (what ~ /^state /) crash_states[command] = add(crash_states[command], substr(what, 7) " " value)
        else if (what ~ /^undo state /) undo_states[command] = add(undo_states[command], substr(what, 12) " " value)
    } else if (campaign == "fault") {
        if (what == "calls") calls[command] = value
        else if (what == "faults injected") { faults[command] = value; total_faults += value }
        else if (what == "outcome success") successes[command] = value
        else if (what ~ /^outcome /) codes[command] = add(codes[command], substr(what, 9) " " value)
        else if (what ~ /^state /) fault_states[command] = add(fault_states[command], substr(what, 7) " " value)
    } else if (campaign == "soak") {
        if (command == "all") soak[what] = value
        else if (command == "adversary") actions = add(actions, what " " value)
        else soak_outcomes[command] = add(soak_outcomes[command], substr(what, 9) " " value)
    }
}
END {
    printf "Figures of the last run of `scripts/reliability-report.sh` (%s, commit %s).\n\n", date, commit

    printf "### Crash campaign\n\n"
    printf "%s%d%s\n\n", "Each command is killed (SIGKILL) right after each of its mutating calls in turn, on a fresh tree; ", \
        total_kills, " kill points in all. \"States\" are the states of the tree found after the kills; each was then " \
        "settled (recover command, staging removal or a second run) and settled once more without change."
    printf "%s%d%s\n\n", "The same with the run cut short inside its own undo, after a call right after the " \
        "mutation failed: ", total_undo_kills, " kill points in the undo steps."
    printf "| command | kill points | states after the kill | kill points in the undo | states after those |\n"
    printf "|---|---|---|---|---|\n"
    for (i = 1; i <= count["crash"]; ++i) {
        c = order["crash", i]
        printf "| %s | %d | %s | %s | %s |\n", c, kills[c], crash_states[c], \
            (c in undo_kills) ? undo_kills[c] : "-", (c in undo_states) ? undo_states[c] : "-"
    }

    printf "\n### Fault campaign\n\n"
    printf "%s%d%s\n\n", "Every call that a run makes fails in turn (EIO; also EACCES for opens, ENOSPC for writes, " \
        "EINTR for reads, writes and flushes); ", total_faults, " faults in all. Every run ended with a well-formed " \
        "line, no descriptor open and nothing on standard error. \"Successes\" are runs whose failed call did not " \
        "matter (a close, the file-system status outside the recover commands); their tree was checked to be complete."
    printf "| command | calls traced | faults injected | successes | failure codes | states afterwards |\n"
    printf "|---|---|---|---|---|---|\n"
    for (i = 1; i <= count["fault"]; ++i) {
        c = order["fault", i]
        printf "| %s | %d | %d | %d | %s | %s |\n", c, calls[c], faults[c], successes[c], codes[c], fault_states[c]
    }

    printf "\n### Adversarial soak\n\n"
    printf "Seed %s, %s iterations, %s runs of the binary (bookmark runs included). Adversary actions: %s. %s\n\n", \
        soak["seed"], soak["iterations"], soak["runs"], actions, \
        "Invariants held throughout: nothing outside the root created, changed or removed; no decoy deleted; no " \
        "file lost a name a run had no right to remove; every file held its own or its rewritten bytes; every " \
        "result line well-formed."
    printf "| command | outcomes |\n|---|---|\n"
    for (i = 1; i <= count["soak"]; ++i) {
        c = order["soak", i]
        if (c != "all" && c != "adversary")
            printf "| %s | %s |\n", c, soak_outcomes[c]
    }
}' "$counts" >"$work/section"

if [ ! -f "$document" ]; then
    cat >"$document" <<EOF
# Reliability

What anchorfs is tested against beyond its unit and command tests, and the
figures of the last runs. Each section is written by the tool named in it.

## Crash, fault and adversarial campaigns

The campaigns live in \`tests/campaign/\` (one program, \`campaign_tests\`).
The bounded version runs with the test suite (\`make test\`); the full one,
with a longer soak, runs with

    make campaign

and this section is regenerated (campaigns included) with

    make reliability-report      # scripts/reliability-report.sh build

See \`tests/campaign/README.md\` for what each campaign checks.

$begin
$end

## Sanitizers

<!-- sanitizer figures: begin (written by scripts/analysis-report.sh) -->
(Not yet written.)
<!-- sanitizer figures: end -->

## Static analysis

<!-- static-analysis figures: begin (written by scripts/analysis-report.sh) -->
(Not yet written.)
<!-- static-analysis figures: end -->

## Fuzzing

<!-- fuzzing figures: begin (written by scripts/analysis-report.sh) -->
(Not yet written.)
<!-- fuzzing figures: end -->
EOF
fi

if ! grep -qF "$begin" "$document" || ! grep -qF "$end" "$document"; then
    echo "reliability-report: $document has no campaign markers" >&2
    exit 1
fi
awk -v begin="$begin" -v end="$end" -v section="$work/section" '
$0 == begin { print; while ((getline line < section) > 0) print line; skipping = 1; next }
$0 == end { skipping = 0 }
!skipping { print }
' "$document" >"$work/document"
cp "$work/document" "$document"
echo "reliability-report: wrote $document" >&2
