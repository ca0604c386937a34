#!/usr/bin/env bash
# What a user gets from `cmake --install`: installs the build tree given as $1
# into a scratch prefix, checks every installed file, runs the installed
# program, builds and runs a program against the installed client library
# through pkg-config and through find_package(anchorfs CONFIG), and packages the same files with cpack -G DEB.
set -euo pipefail

build=${1:?usage: install_test.sh BUILD_DIR}
scratch=$(mktemp -d /tmp/anchorfs-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/anchorfs share/man/man1/anchorfs.1 lib/libanchorfs-client.a \
            include/anchorfs/client.hpp lib/pkgconfig/anchorfs-client.pc lib/cmake/anchorfs/anchorfsConfig.cmake; do
    [[ -f $prefix/$file ]] || fail "not installed: $file"
done
[[ -x $prefix/bin/anchorfs ]] || fail "bin/anchorfs is not executable"

# The installed program works below a root it is given by identity.
root=$scratch/root
mkdir -m 0755 "$root"
line=$("$prefix/bin/anchorfs" ensure-dir "$root" $(stat -c '%d %i %u' "$root") photos)
expected="{\"ok\":true,\"device\":\"$(stat -c %d "$root/photos")\",\"inode\":\"$(stat -c %i "$root/photos")\",\"uid\":\"$(id -u)\",\"mode\":\"16832\"}"
[[ $line == "$expected" ]] || fail "installed anchorfs printed '$line', expected '$expected'"

# The Python package is installed beside the program and finds it on its own.
[[ -f $prefix/lib/python3/dist-packages/anchorfs/__init__.py ]] || fail "not installed: the Python package"
out=$(cd "$scratch" && PYTHONPATH=$prefix/lib/python3/dist-packages python3 -B - "$root" <<'PY'
import os, sys, anchorfs
helper = anchorfs.Helper()
root = anchorfs.anchor_root(sys.argv[1])
print(os.path.realpath(helper.binary), helper.ensure_dir(root, "python").mode)
PY
) || fail "the installed Python package failed: $out"
[[ $out == "$(realpath "$prefix/bin/anchorfs") 16832" ]] || fail "the installed Python package printed '$out'"

# The Node package likewise, when there is a Node.js to run it.
[[ -f $prefix/lib/node_modules/anchorfs/index.js ]] || fail "not installed: the Node package"
if command -v node >/dev/null; then
    out=$(cd "$scratch" && node --input-type=module - "$prefix/lib/node_modules/anchorfs/index.js" "$root" <<'JS'
const anchorfs = await import(process.argv[2]);
const helper = new anchorfs.Helper();
const root = await anchorfs.anchorRoot(process.argv[3]);
const { realpathSync } = await import('node:fs');
console.log(realpathSync(helper.binary), String((await helper.ensureDir(root, 'node')).mode));
JS
) || fail "the installed Node package failed: $out"
    [[ $out == "$(realpath "$prefix/bin/anchorfs") 16832" ]] || fail "the installed Node package printed '$out'"
fi

# A parent application builds against the installed library alone and finds
# the installed program through the .pc file.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
helper=$(pkg-config --variable=helper anchorfs-client)
[[ $(realpath "$helper") == $(realpath "$prefix/bin/anchorfs") ]] || fail "helper variable names '$helper'"
cat > "$scratch/app.cpp" <<'CPP'
#include <anchorfs/client.hpp>
#include <cstdio>
namespace client = anchorfs::client;
int main(int, char** argv)
{
    client::AnchorRootResult root = client::anchor_root(argv[2]);
    if (!root.ok())
        return 1;
    client::Result made = client::run(client::Helper{argv[1], {}, {}}, root.root, client::CreatePrivateFile{"note", "hi"});
    client::Result read = client::run(client::Helper{argv[1], {}, {}}, root.root, client::ReadPrivateFile{"note", 10});
    std::printf("%s %s\n", made.ok() ? "created" : client::code_name(made.code), read.content.c_str());
    return made.ok() && read.ok() ? 0 : 1;
}
CPP
# shellcheck disable=SC2046 # the flags are meant to split
c++ -std=c++20 -o "$scratch/app" "$scratch/app.cpp" $(pkg-config --cflags --libs anchorfs-client) \
    || fail "cannot build against the installed library"
out=$("$scratch/app" "$helper" "$root") || fail "the application failed: $out"
[[ $out == "created hi" ]] || fail "the application printed '$out'"

# The same application built by CMake with find_package(anchorfs CONFIG).
mkdir "$scratch/cmake-app"
cp "$scratch/app.cpp" "$scratch/cmake-app/app.cpp"
cat > "$scratch/cmake-app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(app CXX)
find_package(anchorfs 0.1 CONFIG REQUIRED)
add_executable(app app.cpp)
target_compile_features(app PRIVATE cxx_std_20)
target_link_libraries(app PRIVATE anchorfs::client)
file(WRITE ${CMAKE_BINARY_DIR}/helper.txt "${anchorfs_HELPER}")
CMAKE
cmake -S "$scratch/cmake-app" -B "$scratch/cmake-app/build" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/cmake.log" 2>&1 \
    && cmake --build "$scratch/cmake-app/build" >>"$scratch/cmake.log" 2>&1 \
    || { cat "$scratch/cmake.log" >&2; fail "cannot build with find_package(anchorfs CONFIG)"; }
[[ $(realpath "$(cat "$scratch/cmake-app/build/helper.txt")") == $(realpath "$prefix/bin/anchorfs") ]] \
    || fail "anchorfs_HELPER names '$(cat "$scratch/cmake-app/build/helper.txt")'"
rm -rf "$root/note"
out=$("$scratch/cmake-app/build/app" "$helper" "$root") || fail "the CMake-built application failed: $out"
[[ $out == "created hi" ]] || fail "the CMake-built application printed '$out'"

# The Debian package carries the same files below /usr.
if command -v dpkg-deb >/dev/null; then
    cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >/dev/null \
        || fail "cpack -G DEB failed"
    deb=$(find "$scratch/package" -maxdepth 1 -name '*.deb' | head -n 1)
    [[ -n $deb ]] || fail "cpack made no .deb"
    contents=$(dpkg-deb -c "$deb")
    for file in bin/anchorfs share/man/man1/anchorfs.1 lib/libanchorfs-client.a \
                include/anchorfs/client.hpp lib/pkgconfig/anchorfs-client.pc \
                lib/python3/dist-packages/anchorfs/__init__.py lib/python3/dist-packages/anchorfs/_location.py \
                lib/node_modules/anchorfs/index.js lib/node_modules/anchorfs/lib/location.js; do
        grep -q " \./usr/$file\$" <<<"$contents" || fail "not in $(basename "$deb"): /usr/$file"
    done
fi
echo "install test: installed program, library, manual page, clients and package all in place"
