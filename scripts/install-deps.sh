#!/usr/bin/env bash
# Makes sure the Debian 12 packages needed to build and test anchorfs are
# present, with those of the optional groups named as arguments. Does nothing
# (and asks nothing of apt) when they already are; as root it installs what is
# missing, otherwise it names the packages and fails.
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config nettle-dev libgtest-dev libgmock-dev make git nlohmann-json3-dev
          python3 python3-venv python3-pip python3-setuptools python3-wheel)

# Optional groups for the analysis targets, named on the command line:
#   tidy  clang-tidy for `make tidy`
#   fuzz  clang and its libFuzzer runtime for `make fuzz`
#   coverage  gcovr for `make coverage`
#   kernel    debootstrap, qemu and the image tools for `make kernel-check`
for group in "$@"; do
    case "$group" in
    tidy) packages+=(clang-tidy-14) ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    coverage) packages+=(gcovr) ;;
    kernel) packages+=(debootstrap qemu-system-x86 e2fsprogs cpio util-linux coreutils) ;;
    *)
        echo "install-deps: unknown group '$group' (known: tidy, fuzz, coverage, kernel)" >&2
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

if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: as root, run: apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
