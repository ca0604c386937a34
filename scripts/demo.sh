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
output=$(mktemp)
trap 'rm -rf "$root" "$output"' EXIT

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

# Shows what the run before it printed and its exit status. A read's content
# follows its size line byte for byte, with no line feed of its own: one is
# added here so that the status starts a line of its own.
show_output() {
    local status=$1
    cat "$output"
    if [[ -s $output && $(tail -c 1 "$output" | od -An -tx1 | tr -d ' ') != 0a ]]; then
        printf '\n'
    fi
    printf '(exit %d)\n' "$status"
}

# Echoes an anchorfs command line, runs it, and shows its output and exit status.
run() {
    printf '$ anchorfs'
    printf ' %q' "$@"
    printf '\n'
    local status=0
    "$binary" "$@" >"$output" || status=$?
    show_output "$status"
}

# What the answer above shows.
explain() {
    printf '  -> %s\n' "$*"
}

read -r device inode uid < <(identity_of "$root")
anchor=("$root" "$device" "$inode" "$uid")
echo "root: $root (device $device, inode $inode, uid $uid)"

step "ensure-dir creates a missing directory (mode 0700) and reports its identity"
run ensure-dir "${anchor[@]}" photos
run ensure-dir "${anchor[@]}" photos/2026
explain "ok:true with the new directory's device, inode, uid and whole mode (16832 = directory 0700)"

step "the same again: the existing directory is accepted, same device and inode"
run ensure-dir "${anchor[@]}" photos/2026

step "ensure-private-dir: owned by the root's owner with permissions exactly 0700"
run ensure-private-dir "${anchor[@]}" private
explain "the private store's directories are the root owner's, 0700; a looser one would be IDENTITY_CHANGED"

step "a path through a regular file fails with ENOTDIR; nothing is created"
setup touch "$root/notes.txt"
run ensure-dir "${anchor[@]}" notes.txt/drafts
explain "expected failure: ok:false, the code and its errno, exit status 10 for every failure line"

step "an unknown command (or a known one with the wrong argument count) is EINVAL"
run make-dir "${anchor[@]}" photos/2027
explain "expected failure: the command table has no make-dir, so the run refuses it and touches nothing"

step "a root replaced by another directory under the same path is refused"
setup mkdir "$root/album"
read -r album_device album_inode album_uid < <(identity_of "$root/album")
setup mv "$root/album" "$root/album.old"
setup mkdir "$root/album"
run ensure-dir "$root/album" "$album_device" "$album_inode" "$album_uid" 2026
explain "expected failure: the path names a new directory, not the anchored one (ROOT_IDENTITY_CHANGED)"

step "too few arguments is INVALID_PROTOCOL with exit status 2"
run ensure-dir "$root"
explain "expected failure: a command line the program cannot even read; exit status 2 tells it apart"

# The five identity slots of a file: device, inode, link count, owner uid, whole mode.
file_identity() {
    local mode
    mode=$(stat -c '%f' "$1")
    echo "$(stat -c '%d %i %h %u' "$1") $((16#$mode))"
}

# The eight description slots: identity, size, modification ns, SHA-256.
file_description() {
    echo "$(file_identity "$1") $(stat -c '%s' "$1") $(stat -c '%.9Y' "$1" | tr -d .) $(sha256sum <"$1" | cut -d' ' -f1)"
}

# The four slots a later recover command expects of a bookmarked parent:
# bookmark, device, inode, uid (from the bookmark line).
bookmark_of() {
    "$binary" bookmark-parent "${anchor[@]}" "$1" |
        sed -E 's/.*"bookmark":"([0-9a-f]+)","device":"([0-9]+)","inode":"([0-9]+)","uid":"([0-9]+)".*/\1 \2 \3 \4/'
}

# Like run, with the given text on standard input.
run_with_input() {
    local text=$1
    shift
    printf '$ printf %q | anchorfs' "$text"
    printf ' %q' "$@"
    printf '\n'
    local status=0
    printf '%s' "$text" | "$binary" "$@" >"$output" || status=$?
    show_output "$status"
}

quarantine_leaf() {
    echo ".vor-native-quarantine-$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')"
}

step "create-file: exactly the announced bytes from standard input, permission bits 420 (0644)"
run_with_input 'first draft' create-file "${anchor[@]}" photos/notes.txt 420 11
run_with_input 'short' create-file "${anchor[@]}" photos/short.txt 420 11
explain "expected failure: 5 bytes came where 11 were announced (EINVAL) and the new file was removed again;"
explain "closing the input early is how a parent cancels a create"
setup ls "$root/photos"

step "rename-excl moves a described file onto a free name, never over an existing one"
run rename-excl "${anchor[@]}" photos/notes.txt photos/2026/notes.txt $(file_identity "$root/photos/notes.txt")

step "rename-swap exchanges two described files atomically"
printf 'v1' >"$root/photos/a.txt"
printf 'v2' >"$root/photos/b.txt"
run rename-swap "${anchor[@]}" photos/a.txt photos/b.txt \
    $(file_identity "$root/photos/a.txt") $(file_identity "$root/photos/b.txt")
setup cat "$root/photos/a.txt"
echo
explain "a.txt now holds what b.txt held"

step "link-excl gives a described file a second name"
run link-excl "${anchor[@]}" photos/a.txt photos/a-link.txt photos/.a.staging photos/$(quarantine_leaf) \
    $(file_description "$root/photos/a.txt")

step "unlink-checked deletes only the described content, through staging and quarantine names"
run unlink-checked "${anchor[@]}" photos/a-link.txt photos/.a.staging photos/$(quarantine_leaf) \
    $(file_description "$root/photos/a-link.txt")
printf 'changed!' >"$root/photos/changed.txt"
described=$(file_description "$root/photos/changed.txt")
printf 'CHANGED!' >"$root/photos/changed.txt"
echo "# (the file was rewritten after it was described)"
run unlink-checked "${anchor[@]}" photos/changed.txt photos/.c.staging photos/$(quarantine_leaf) $described
explain "expected failure: the content is not the described one, so the file is kept (IDENTITY_CHANGED)"

step "the private store: staged creation, reads, removal by content"
run_with_input 'token=42' create-private-file-staged "${anchor[@]}" private/token private/.token.partial 8
run read-private-file "${anchor[@]}" private/token 1024
explain "a size line, then exactly that many bytes of content (token=42)"
read -r private_device private_inode private_uid < <(identity_of "$root/private")
run read-external-file "${anchor[@]}" private/token 1024 "$private_device" "$private_inode" "$private_uid"
explain "the same file read as an outside file: its directory must have the identity given"
run remove-private-file "${anchor[@]}" private/token 8 "$(printf 'token=42' | sha256sum | cut -d' ' -f1)"
run_with_input 'abc' create-private-file-staged "${anchor[@]}" private/late private/.late.partial 4
explain "expected failure: 3 bytes where 4 were announced; the staging file stays, the final name stays free"
run remove-private-staging-file "${anchor[@]}" private/.late.partial 4
explain "and remove-private-staging-file takes the left staging file away"

step "private trees: quarantine moves one aside, removal works in bounded batches"
run ensure-private-dir "${anchor[@]}" private/cache
for name in one two three; do
    run_with_input x create-private-file "${anchor[@]}" "private/cache/$name" 1
done
run quarantine-private-tree "${anchor[@]}" private/cache private/cache.old
run remove-private-tree "${anchor[@]}" private/cache.old 2 4
explain "expected failure: E2BIG says the budget (2 entries) ran out after removing what it could: run it again"
run remove-private-tree "${anchor[@]}" private/cache.old 2 4
explain "the second run finishes the tree"

step "recovery: an unlink interrupted after its first rename is completed by recover-unlink"
printf 'keep me safe' >"$root/photos/old.txt"
described=$(file_description "$root/photos/old.txt")
leaf=$(quarantine_leaf)
source_group="$(bookmark_of photos/old.txt) photos old.txt"
staging_group="$(bookmark_of photos/.old.staging) photos .old.staging"
quarantine_group="$(bookmark_of "photos/$leaf") photos $leaf"
echo "# (a run of unlink-checked died right after moving the file to its staging name)"
setup mv "$root/photos/old.txt" "$root/photos/.old.staging"
run recover-unlink "${anchor[@]}" $source_group $staging_group $quarantine_group $described
explain "the file was found under its staging name and deleted by content: the unlink is finished"
run recover-unlink "${anchor[@]}" $source_group $staging_group $quarantine_group $described
explain "again: nothing left to do, and that is success too (recovery may be run any number of times)"
setup ls -A "$root/photos"
