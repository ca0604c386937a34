#!/usr/bin/env bash
# The Python package as the README installs it: offline, into a virtual
# environment that sees Debian's pip, setuptools and wheel, with
#   venv/bin/python -m pip install --no-build-isolation ./python
# then imported from the environment to run the program given as $2.
set -euo pipefail

source_dir=${1:?usage: python_package_test.sh SOURCE_DIR BINARY [PYTHON]}
binary=${2:?usage: python_package_test.sh SOURCE_DIR BINARY [PYTHON]}
fail() { echo "python package test: $*" >&2; exit 1; }

# The interpreter CMake found may be one of the user's own (pyenv and the
# like) without Debian's build packages; Debian's python3 is what is promised.
python=
for candidate in ${3:-} /usr/bin/python3; do
    if "$candidate" -c 'import importlib.util as u, sys
sys.exit(any(u.find_spec(m) is None for m in ("pip", "setuptools", "wheel", "venv")))' 2>/dev/null; then
        python=$candidate
        break
    fi
done
[[ -n $python ]] || { echo "python package test: no python3 with pip, setuptools and wheel; skipped"; exit 77; }

scratch=$(mktemp -d /tmp/anchorfs-python-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# A copy, so that the build leaves nothing in the source tree.
cp -r "$source_dir/python" "$scratch/python"
rm -rf "$scratch/python/build" "$scratch/python"/*.egg-info
cd "$scratch"
"$python" -m venv --system-site-packages --without-pip venv
venv/bin/python -m pip install --no-build-isolation --no-index ./python >"$scratch/pip.log" 2>&1 \
    || { cat "$scratch/pip.log" >&2; fail "pip install failed"; }
rm -rf "$scratch/python"

mkdir -m 0755 root
out=$(venv/bin/python - "$binary" "$scratch/root" <<'PY'
import sys, anchorfs
assert anchorfs.__file__.startswith(sys.prefix), anchorfs.__file__
helper = anchorfs.Helper(sys.argv[1])
root = anchorfs.anchor_root(sys.argv[2])
helper.create_private_file(root, "note", b"hi")
print(helper.read_private_file(root, "note", 10).decode())
PY
) || fail "the installed package failed: $out"
[[ $out == "hi" ]] || fail "the installed package printed '$out'"
echo "python package test: installed offline into a virtual environment and working"
