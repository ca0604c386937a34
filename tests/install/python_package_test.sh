#!/usr/bin/env bash
# The Python package as the README installs it: a wheel built once, offline,
# by Debian's python3 with its setuptools and wheel,
#   /usr/bin/python3 -m pip wheel --no-deps --no-build-isolation --no-index -w dist ./python
# then installed offline into a virtual environment of every Python 3.11+ at
# hand (Debian's, the one CMake found, the first python3 on PATH such as a
# pyenv one), each of which must import it and run the program given as $2.
set -euo pipefail

source_dir=${1:?usage: python_package_test.sh SOURCE_DIR BINARY [PYTHON]}
binary=${2:?usage: python_package_test.sh SOURCE_DIR BINARY [PYTHON]}
fail() { echo "python package test: $*" >&2; exit 1; }

builder=/usr/bin/python3
if ! "$builder" -c 'import importlib.util as u, sys
sys.exit(any(u.find_spec(m) is None for m in ("pip", "setuptools", "wheel")))' 2>/dev/null; then
    echo "python package test: $builder has no pip, setuptools and wheel (scripts/install-deps.sh installs them); skipped"
    exit 77
fi

scratch=$(mktemp -d /tmp/anchorfs-python-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# A copy, so that the build leaves nothing in the source tree.
cp -r "$source_dir/python" "$scratch/python"
rm -rf "$scratch/python/build" "$scratch/python"/*.egg-info
cd "$scratch"
"$builder" -m pip wheel --no-deps --no-build-isolation --no-index -w dist ./python >"$scratch/wheel.log" 2>&1 \
    || { cat "$scratch/wheel.log" >&2; fail "building the wheel failed"; }
rm -rf "$scratch/python"
wheel=$(echo dist/anchorfs-*.whl)
[[ -f $wheel ]] || fail "no wheel was built"

declare -A seen=()
tested=0
for candidate in "$builder" ${3:-} "$(command -v python3 || true)"; do
    [[ -n $candidate ]] || continue
    # Shims (pyenv's) resolve to an interpreter only when run: compare what runs.
    real=$("$candidate" -c 'import os, sys; print(os.path.realpath(sys.executable))' 2>/dev/null) || continue
    [[ -z ${seen[$real]:-} ]] || continue
    seen[$real]=1
    if ! "$candidate" -c 'import sys, venv, ensurepip; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
        echo "python package test: $real is not a Python 3.11+ with venv and ensurepip: not tested"
        continue
    fi
    env_dir=$scratch/venv-$tested
    "$candidate" -m venv "$env_dir" >"$scratch/venv.log" 2>&1 \
        || { cat "$scratch/venv.log" >&2; fail "$real: making the virtual environment failed"; }
    "$env_dir/bin/python" -m pip install --no-index "$wheel" >"$scratch/pip.log" 2>&1 \
        || { cat "$scratch/pip.log" >&2; fail "$real: pip install of the wheel failed"; }
    rm -rf "$scratch/root" && mkdir -m 0755 "$scratch/root"
    out=$("$env_dir/bin/python" - "$binary" "$scratch/root" <<'PY'
import sys, anchorfs
assert anchorfs.__file__.startswith(sys.prefix), anchorfs.__file__
helper = anchorfs.Helper(sys.argv[1])
root = anchorfs.anchor_root(sys.argv[2])
helper.create_private_file(root, "note", b"hi")
print(helper.read_private_file(root, "note", 10).decode())
PY
    ) || fail "$real: the installed package failed: $out"
    [[ $out == "hi" ]] || fail "$real: the installed package printed '$out'"
    echo "python package test: $real: installed offline into a virtual environment and working"
    tested=$((tested + 1))
done
[[ $tested -gt 0 ]] || fail "no Python 3.11+ to test with"
