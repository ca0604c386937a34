#!/usr/bin/env bash
# The Node package as a user gets it: `npm pack` of node/ gives a tarball that
# installs offline (an empty npm cache, --offline) into a fresh project, where
# the example program runs on it, finding the program given as $2 first on
# PATH and then by its path.
set -euo pipefail

source_dir=$(realpath "${1:?usage: node_package_test.sh SOURCE_DIR BINARY [NODE]}")
binary=$(realpath "${2:?usage: node_package_test.sh SOURCE_DIR BINARY [NODE]}")
node=${3:-node}
fail() { echo "node package test: $*" >&2; exit 1; }
command -v npm >/dev/null || { echo "node package test: no npm; skipped"; exit 77; }

scratch=$(mktemp -d /tmp/anchorfs-node-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export npm_config_cache=$scratch/cache npm_config_update_notifier=false npm_config_fund=false npm_config_audit=false
# A copy without node_modules, so that packing leaves nothing in the source tree.
mkdir "$scratch/package"
cp -r "$source_dir/node/." "$scratch/package/"
rm -rf "$scratch/package/node_modules"
(cd "$scratch/package" && npm pack --pack-destination "$scratch" >"$scratch/pack.log" 2>&1) \
    || { cat "$scratch/pack.log" >&2; fail "npm pack failed"; }
tarball=$(find "$scratch" -maxdepth 1 -name 'anchorfs-*.tgz')
[[ -n $tarball ]] || fail "npm pack made no tarball"
listing=$(tar -tzf "$tarball" | sort | tr '\n' ' ')
for file in index.js index.d.ts lib/helper.js lib/location.js package.json README.md; do
    [[ " $listing" == *" package/$file "* ]] || fail "not in the tarball: $file"
done
[[ $listing != *node_modules* && $listing != *tsconfig* ]] || fail "the tarball holds more than the package: $listing"

mkdir "$scratch/app"
cd "$scratch/app"
printf '{"name":"app","version":"1.0.0","private":true,"type":"module"}\n' > package.json
npm install --offline "$tarball" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log" >&2; fail "npm install failed"; }
cp "$source_dir/examples/stage_swap_recover.mjs" .
mkdir "$scratch/bin"
ln -s "$binary" "$scratch/bin/anchorfs"
out=$(ANCHORFS_PACKAGE=anchorfs PATH="$scratch/bin:$PATH" "$node" stage_swap_recover.mjs) \
    || fail "the example on the installed package failed (helper on PATH): $out"
[[ $out == *"done: report.txt holds draft 2"* ]] || fail "the example printed '$out'"
out=$(ANCHORFS_PACKAGE=anchorfs "$node" stage_swap_recover.mjs "$binary") \
    || fail "the example on the installed package failed (helper by path): $out"
[[ $out == *"done: report.txt holds draft 2"* ]] || fail "the example printed '$out'"
echo "node package test: $(basename "$tarball") installed offline into a fresh project, example passed"
