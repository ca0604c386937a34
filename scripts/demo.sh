#!/usr/bin/env bash
# Demonstrates anchorfs in a temporary root: each step prints the command line
# it runs, the result line and the exit status. To show a new command, add a
# step that calls `run COMMAND ROOT DEVICE INODE UID ARGS...`.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 BINARY" >&2
    exit 2
fi
binary=$(realpath "$1")
if [[ ! -x "$binary" ]]; then
    echo "demo: $1 is not an executable" >&2
    exit 2
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# The device, inode and owner uid of a directory: slots 3 to 5 of every run.
identity_of() {
    stat -c '%d %i %u' "$1"
}

step() {
    printf '\n# %s\n' "$*"
}

# Echoes a setup command of the demo itself, then runs it.
setup() {
    printf '$ %s\n' "$*"
    "$@"
}

# Echoes an anchorfs command line, runs it, and shows the exit status. The
# result line (and, for reads, the content) goes straight to standard output.
run() {
    printf '$ anchorfs'
    printf ' %q' "$@"
    printf '\n'
    local status=0
    "$binary" "$@" || status=$?
    printf '(exit %d)\n' "$status"
}

read -r device inode uid < <(identity_of "$root")
anchor=("$root" "$device" "$inode" "$uid")
echo "root: $root (device $device, inode $inode, uid $uid)"

step "ensure-dir creates a missing directory (mode 0700) and reports its identity"
run ensure-dir "${anchor[@]}" photos
run ensure-dir "${anchor[@]}" photos/2026

step "the same again: the existing directory is accepted, same device and inode"
run ensure-dir "${anchor[@]}" photos/2026

step "ensure-private-dir: owned by the root's owner with permissions exactly 0700"
run ensure-private-dir "${anchor[@]}" private

step "a path through a regular file fails with ENOTDIR; nothing is created"
setup touch "$root/notes.txt"
run ensure-dir "${anchor[@]}" notes.txt/drafts

step "an unknown command (or a known one with the wrong argument count) is EINVAL"
run make-dir "${anchor[@]}" photos/2027

step "a root replaced by another directory under the same path is refused"
setup mkdir "$root/album"
read -r album_device album_inode album_uid < <(identity_of "$root/album")
setup mv "$root/album" "$root/album.old"
setup mkdir "$root/album"
run ensure-dir "$root/album" "$album_device" "$album_inode" "$album_uid" 2026

step "too few arguments is INVALID_PROTOCOL with exit status 2"
run ensure-dir "$root"
