#!/usr/bin/env bash
# Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/. The
# seeds are checked in; run this again only to change them.
set -euo pipefail
cd "$(dirname "$0")"

seed() { # seed TARGET NAME FIELD... : the fields joined by zero bytes
    local target=$1 name=$2
    shift 2
    mkdir -p "corpus/$target"
    local first=1
    for field in "$@"; do
        [[ $first -eq 1 ]] || printf '\0'
        printf '%s' "$field"
        first=0
    done >"corpus/$target/$name"
}

rm -rf corpus
# ---- argument forms: one text per seed ----
a=argument_forms
seed $a zero 0
seed $a leading-zeros 007
seed $a plus +7
seed $a blank-number ' 7'
seed $a largest 18446744073709551615
seed $a too-large 18446744073709551616
seed $a minus-after-blank ' -7'
seed $a digest 0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
seed $a quarantine-leaf .vor-native-quarantine-0123456789abcdef0123456789abcdef
seed $a path a/b/c
seed $a dot-dot a/../b
seed $a accented "$(printf 'caf\xc3\xa9/\xf0\x9f\x98\x80')"
seed $a overlong "$(printf 'a\xc0\xafb')"
seed $a surrogate "$(printf 'a\xed\xa0\x80')"
seed $a direction-mark "$(printf 'a\xe2\x80\x8eb')"

# ---- bookmark records: raw bytes ----
b=bookmark_record
mkdir -p corpus/$b
# "AFBK", version 1, no handle, device 0x803, inode 2, path "/tmp"
printf 'AFBK\x01\x00\x00\x00\x03\x08\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x04\x00\x00\x00/tmp' \
    >corpus/$b/path-only
# with an 8-byte handle of type 1
printf 'AFBK\x01\x01\x00\x00\x03\x08\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x08\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x04\x00\x00\x00/tmp' \
    >corpus/$b/with-handle
printf '41464b4301' >corpus/$b/hex-text

# ---- front end: slot 1, slots 3 to 5, the command's slots ----
f=front_end
r=(@dev @ino @uid)
q=.vor-native-quarantine-0123456789abcdef0123456789abcdef
seed $f short ensure-dir
seed $f bad-root-number ensure-dir 1x @ino @uid a/new
seed $f bookmark-parent bookmark-parent "${r[@]}" a/f
seed $f ensure-dir ensure-dir "${r[@]}" a/new
seed $f ensure-private-dir ensure-private-dir "${r[@]}" p/new
seed $f create-file create-file "${r[@]}" a/new 420 5 '<hello'
seed $f create-private-file create-private-file "${r[@]}" p/new 3 '<abc'
seed $f rename-excl rename-excl "${r[@]}" a/f a/new @id:a/f
seed $f rename-swap rename-swap "${r[@]}" a/f a/g @id:a/f @id:a/g
seed $f link-excl link-excl "${r[@]}" a/f a/new a/stage a/$q @desc:a/f
seed $f unlink-checked unlink-checked "${r[@]}" a/f a/stage a/$q @desc:a/f
seed $f quarantine-private-tree quarantine-private-tree "${r[@]}" p/t p/t2
seed $f remove-private-tree remove-private-tree "${r[@]}" p/t 100 4
seed $f create-private-file-staged create-private-file-staged "${r[@]}" p/new p/stage 3 '<abc'
seed $f remove-private-staging-file remove-private-staging-file "${r[@]}" p/s 100
seed $f read-private-file read-private-file "${r[@]}" p/f 100
seed $f read-external-file read-external-file "${r[@]}" a/f 100 @dir:a
seed $f remove-private-file remove-private-file "${r[@]}" p/f 7 \
    b37e50cedcd3e3f1ff64f4afc0422084ae694253cf399326868e07a35f4a45fb
seed $f recover-rename recover-rename "${r[@]}" @bm:a @dir:a a f @bm:a @dir:a a new @desc:a/f
seed $f recover-swap recover-swap "${r[@]}" @bm:a @dir:a a f @bm:a @dir:a a g @desc:a/f @desc:a/g
seed $f recover-unlink recover-unlink "${r[@]}" @bm:a @dir:a a f @bm:p/Q @dir:p/Q p/Q stage \
    @bm:p/Q @dir:p/Q p/Q $q @desc:a/f
seed $f recover-link recover-link "${r[@]}" @bm:a @dir:a a f @bm:. @dir:. . new @bm:p/Q @dir:p/Q p/Q stage \
    @bm:p/Q @dir:p/Q p/Q $q @desc:a/f
