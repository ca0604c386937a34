#!/bin/sh
# Writes the figures of the last sanitizer, clang-tidy and fuzzing runs into
# docs/reliability.md, each between its own markers; the rest of the document
# is kept as it is.
#
#   scripts/analysis-report.sh [SANITIZE_DIR] [TIDY_DIR] [FUZZ_DIR]
#
# The directories default to build-asan, build-tidy and build-fuzz, where
# `make sanitize`, `make tidy` and `make fuzz` leave their summaries
# (sanitize-summary.txt, tidy-summary.txt, fuzz-summary.tsv). A block whose
# summary is missing is left as it was.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
sanitize_dir=${1:-"$root/build-asan"}
tidy_dir=${2:-"$root/build-tidy"}
fuzz_dir=${3:-"$root/build-fuzz"}
document="$root/docs/reliability.md"

if [ ! -f "$document" ]; then
    echo "analysis-report: $document does not exist" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stamp="$(date -u +%Y-%m-%d), commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"

value() { # value FILE KEY: the value of "KEY: value" in FILE
    sed -n "s/^$2: //p" "$1" | head -n 1
}

# replace NAME FILE: puts FILE's lines between the NAME markers.
replace() {
    begin="<!-- $1 figures: begin (written by scripts/analysis-report.sh) -->"
    end="<!-- $1 figures: end -->"
    if ! grep -qF "$begin" "$document" || ! grep -qF "$end" "$document"; then
        echo "analysis-report: $document has no $1 markers" >&2
        exit 1
    fi
    awk -v begin="$begin" -v end="$end" -v section="$2" '
    $0 == begin { print; while ((getline line < section) > 0) print line; skipping = 1; next }
    $0 == end { skipping = 0 }
    !skipping { print }
    ' "$document" >"$work/document"
    cp "$work/document" "$document"
}

summary="$sanitize_dir/sanitize-summary.txt"
if [ -f "$summary" ]; then
    {
        echo "Last run ($stamp): $(value "$summary" tests) tests run in the sanitizer build" \
            "(selection: $(value "$summary" selection)), $(value "$summary" failed) failed," \
            "$(value "$summary" reports) sanitizer reports, $(value "$summary" seconds) s of test time."
    } >"$work/sanitizers"
    replace sanitizer "$work/sanitizers"
fi

summary="$tidy_dir/tidy-summary.txt"
if [ -f "$summary" ]; then
    {
        echo "Last run ($stamp): clang-tidy $(value "$summary" clang-tidy), $(value "$summary" checks) checks" \
            "enabled over $(value "$summary" files) source files, $(value "$summary" findings) findings."
    } >"$work/tidy"
    replace static-analysis "$work/tidy"
fi

summary="$fuzz_dir/fuzz-summary.tsv"
if [ -f "$summary" ]; then
    awk -F '\t' -v stamp="$stamp" '
    NR == 1 { next }
    { rows[++n] = $0; total += $3 }
    END {
        printf "Last run (%s): %d executions in all, from libFuzzer'"'"'s final statistics.\n\n", stamp, total
        print "| target | seconds | executions | executions per second | corpus entries | result |"
        print "|---|---|---|---|---|---|"
        for (i = 1; i <= n; ++i) {
            split(rows[i], f, "\t")
            printf "| %s | %s | %s | %s | %s | %s |\n", f[1], f[2], f[3], f[4], f[5], f[6]
        }
    }' "$summary" >"$work/fuzzing"
    replace fuzzing "$work/fuzzing"
fi
echo "analysis-report: wrote $document" >&2
