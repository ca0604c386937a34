#!/usr/bin/env python3
"""Every folder of src/ is a floor: its #include lines name only itself and
the floors below it, so no include points up and no two folders include each
other. Usage: include_layers_test.py SRC_DIR; exit 0 when the layering holds."""

import pathlib
import re
import sys

# Bottom to top. A folder may include the folders listed before it on its own
# line; folders on one line are side by side and may not include each other.
FLOORS = [
    ["platform"],
    ["core"],
    ["anchor"],
    ["checked"],
    ["steps"],
    ["commands", "private_store", "recovery"],
    ["cli"],
]

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def level_of_folder():
    return {folder: level for level, floor in enumerate(FLOORS) for folder in floor}


def violations(src):
    levels = level_of_folder()
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".hpp", ".cpp") or not path.is_file():
            continue
        relative = path.relative_to(src)
        folder = relative.parts[0]
        if len(relative.parts) < 2 or folder not in levels:
            found.append(f"{relative}: folder '{folder}' has no floor in the table")
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1).split("/")
            where = f"{relative}:{number}: includes {match.group(1)}"
            if len(target) < 2 or target[0] not in levels:
                found.append(f"{where}, which is in no floor of the table")
            elif target[0] != folder and levels[target[0]] >= levels[folder]:
                side = "beside" if levels[target[0]] == levels[folder] else "above"
                found.append(f"{where}, a floor {side} '{folder}'")
    return found


def main():
    if len(sys.argv) != 2:
        print("usage: include_layers_test.py SRC_DIR", file=sys.stderr)
        return 2
    found = violations(pathlib.Path(sys.argv[1]))
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) break the floors of src/")
        return 1
    print("every include of src/ points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
