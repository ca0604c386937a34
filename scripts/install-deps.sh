#!/usr/bin/env bash
# Makes sure the Debian 12 packages needed to build and test anchorfs are
# present, with those of the optional groups named as arguments. Does nothing
# (and asks nothing of apt) when they already are; as root it installs what is
# missing, otherwise it names the packages and fails.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config nettle-dev libgtest-dev libgmock-dev make git nlohmann-json3-dev
          python3 python3-venv python3-pip python3-setuptools python3-wheel
          man-db) # man-db: the manual-page test renders man/anchorfs.1 with man

# Optional groups for the analysis targets, named on the command line:
#   tidy  clang-tidy for `make tidy`
#   fuzz  clang and its libFuzzer runtime for `make fuzz`
#   coverage  gcovr for `make coverage`
#   node  Node.js 20 or later and npm, and the Node client's development
#         dependencies (the TypeScript compiler of the type check) with
#         `npm ci` from node/package-lock.json, which needs the npm registry
#   kernel    debootstrap, qemu and the image tools for `make kernel-check`
node_group=false
for group in "$@"; do
    case "$group" in
    tidy) packages+=(clang-tidy-14) ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    coverage) packages+=(gcovr) ;;
    node) packages+=(nodejs); node_group=true ;;
    kernel) packages+=(debootstrap qemu-system-x86 e2fsprogs cpio util-linux coreutils) ;;
    *)
        echo "install-deps: unknown group '$group' (known: tidy, fuzz, coverage, node, kernel)" >&2
        exit 2
        ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    # Installed means "install ok installed"; a removed package whose
    # configuration files remain is still known to dpkg but not usable.
    status=$(dpkg -s "$package" 2>/dev/null | sed -n 's/^Status: //p' || true)
    if [[ "$status" != "install ok installed" ]]; then
        missing+=("$package")
    fi
done

if [[ ${#missing[@]} -ne 0 ]]; then
    if [[ $(id -u) -ne 0 ]]; then
        echo "install-deps: missing packages: ${missing[*]}" >&2
        echo "install-deps: as root, run: apt-get update && apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "install-deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The Node client's development dependencies, exactly as locked; again only
# when the installed tree is older than the lock file.
if $node_group; then
    node -e 'process.exit(Number(process.versions.node.split(".")[0]) < 20 ? 1 : 0)' \
        || { echo "install-deps: Node.js $(node --version) is older than 20" >&2; exit 1; }
    package=$(cd "$(dirname "$0")/../node" && pwd)
    if [[ ! $package/node_modules/.package-lock.json -nt $package/package-lock.json ]]; then
        echo "install-deps: npm ci in $package"
        (cd "$package" && npm ci --no-audit --no-fund)
    fi
fi
