#!/usr/bin/env bash
# The type declarations against the TypeScript compiler pinned in the lock
# file, as installed by `scripts/install-deps.sh node` (npm ci); no network.
set -euo pipefail
package=$(realpath "${1:?usage: type_check.sh NODE_PACKAGE_DIR [NODE]}")
node=${2:-node}
tsc=$package/node_modules/typescript/bin/tsc
[[ -f $tsc ]] || { echo "type check: no TypeScript compiler in $package/node_modules (scripts/install-deps.sh node); skipped"; exit 77; }
locked=$("$node" -e 'console.log(require(process.argv[1]).packages["node_modules/typescript"].version)' "$package/package-lock.json")
installed=$("$node" -e 'console.log(require(process.argv[1]).version)' "$package/node_modules/typescript/package.json")
[[ $locked == "$installed" ]] || { echo "type check: TypeScript $installed installed, $locked locked (run npm ci)" >&2; exit 1; }
"$node" "$tsc" -p "$package/tsconfig.json"
echo "type check: index.d.ts and its usage pass TypeScript $installed"
