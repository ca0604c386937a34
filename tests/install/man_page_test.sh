#!/usr/bin/env bash
# The manual page renders without a warning and has a section for every
# command. Skipped (77) where man is not installed.
set -euo pipefail

page=${1:?usage: man_page_test.sh PAGE}
if ! command -v man >/dev/null; then
    echo "man is not installed: skipped"
    exit 77
fi
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
if [[ -n $warnings ]]; then
    echo "$warnings" >&2
    exit 1
fi
text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
missing=0
for command in bookmark-parent recover-unlink recover-rename recover-swap recover-link rename-excl \
               link-excl rename-swap unlink-checked quarantine-private-tree remove-private-tree \
               create-private-file-staged remove-private-staging-file read-private-file \
               read-external-file remove-private-file ensure-dir ensure-private-dir create-file \
               create-private-file; do
    if ! grep -q "^   $command " <<<"$text"; then
        echo "no section for $command" >&2
        missing=1
    fi
done
exit $missing
