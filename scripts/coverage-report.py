#!/usr/bin/env python3
"""Writes the coverage figures of the last `make coverage` into
docs/reliability.md, between the coverage markers; the rest of the document is
kept as it is.

    scripts/coverage-report.py [BUILD_DIR] [DOCUMENT] [REASONS]

BUILD_DIR (build-coverage) holds coverage.json and coverage-summary.txt from
scripts/coverage.sh. REASONS (docs/coverage-reasons.txt) says for uncovered
lines why no test reaches them or which test would: one entry per line,

    FILE | FUNCTION | CODE | REASON

(a "|" inside a field written "\\|")
where CODE is the line's text without its indentation and FILE or FUNCTION
may be "*" for any. The most specific entry with the line's code applies;
when files or functions have been renamed, an entry with that code alone,
where only one entry has it. An uncovered
line without an entry is listed as having none, so that it is seen.
"""

import json
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BEGIN = "<!-- coverage figures: begin (written by scripts/coverage-report.py) -->"
END = "<!-- coverage figures: end -->"


def read_reasons(path):
    reasons = []
    if not path.exists():
        return reasons
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        # A "|" inside a field is written "\\|".
        fields = [field.strip().replace("\\|", "|") for field in re.split(r"(?<!\\) \| ", line, maxsplit=3)]
        if len(fields) != 4:
            sys.exit(f"coverage-report: {path}:{number}: expected FILE | FUNCTION | CODE | REASON")
        reasons.append(tuple(fields))
    return reasons


def find_reason(reasons, file, function, code):
    """The most specific entry for the line; FILE or FUNCTION may be "*"."""
    matching = [r for r in reasons if r[2] == code and r[0] in (file, "*") and r[1] in (function, "*")]
    if matching:
        best = max((r[0] == file) * 2 + (r[1] == function) for r in matching)
        distinct = {r[3] for r in matching if (r[0] == file) * 2 + (r[1] == function) == best}
        if len(distinct) == 1:
            return distinct.pop()
    # Renamed files or functions: the code alone, where only one entry has it.
    distinct = {r[3] for r in reasons if r[2] == code}
    return distinct.pop() if len(distinct) == 1 else None


def short_function(name):
    """The function's own name, without namespaces, parameters or return type."""
    name = name.replace("(anonymous namespace)::", "")
    name = re.sub(r"\(.*", "", name)
    name = name.split("::")[-1]
    return name.split()[-1] if name.split() else name


def enclosing_function(functions, line_number):
    best = None
    for function in functions:
        if function["lineno"] <= line_number and (best is None or function["lineno"] > best["lineno"]):
            best = function
    return short_function(best["name"]) if best else ""


def summary_value(summary, key):
    for line in summary.splitlines():
        if line.startswith(key + ":"):
            return line.split(":", 1)[1].strip()
    return "unknown"


def escape(text):
    return text.replace("|", "\\|").replace("`", "'")


def section(build_dir, reasons):
    data = json.loads((build_dir / "coverage.json").read_text())
    # The test count and time are the last whole run's; later runs of a
    # selection only add counts.
    whole_run = build_dir / "coverage-whole-run.txt"
    summary = (build_dir / "coverage-summary.txt").read_text()
    whole = whole_run.read_text() if whole_run.exists() else summary
    commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip() or "unknown"
    out = [BEGIN, ""]
    out.append(f"Measured at commit {commit} over the whole suite"
               f" ({summary_value(whole, 'tests')} tests, {summary_value(whole, 'seconds')} s to run them"
               + ("" if summary_value(summary, "selection") == "all"
                  else f", then the tests matching {summary_value(summary, 'selection')}") + "):")
    out.append("")
    out.append("| | covered |")
    out.append("|---|---|")
    for key in ("lines", "branches", "functions"):
        out.append(f"| {key} | {summary_value(summary, key)} |")
    out.append("")
    missing = 0
    rows = []
    for entry in sorted(data["files"], key=lambda f: f["file"]):
        file = entry["file"]
        source = (ROOT / file).read_text().splitlines()
        functions = entry.get("functions", [])
        for line in entry["lines"]:
            if line.get("gcovr/noncode") or line["count"] != 0:
                continue
            number = line["line_number"]
            code = source[number - 1].strip() if number <= len(source) else ""
            function = enclosing_function(functions, number)
            reason = find_reason(reasons, file, function, code)
            if reason is None:
                missing += 1
                reason = "(no reason recorded)"
            rows.append(f"| {file}:{number} | {function} | `{escape(code)}` | {escape(reason)} |")
    out.append(f"Every line of src/ that no test executes ({len(rows)}), with why"
               + (f"; {missing} without a recorded reason:" if missing else ":"))
    out.append("")
    out.append("| line | function | code | why |")
    out.append("|---|---|---|---|")
    out.extend(rows)
    out.append("")
    out.append(END)
    return "\n".join(out)


def main():
    build_dir = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "build-coverage"
    document = Path(sys.argv[2]) if len(sys.argv) > 2 else ROOT / "docs/reliability.md"
    reasons = read_reasons(Path(sys.argv[3]) if len(sys.argv) > 3 else ROOT / "docs/coverage-reasons.txt")
    text = document.read_text()
    if BEGIN not in text or END not in text:
        sys.exit(f"coverage-report: {document} has no coverage markers")
    head, rest = text.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    document.write_text(head + section(build_dir, reasons) + tail)


if __name__ == "__main__":
    main()
