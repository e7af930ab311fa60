#!/bin/sh
# Builds and runs the consumer project beside this script against libzkdict, every way a CMake
# project takes it: add_subdirectory of this source tree (shared libraries, then static),
# FetchContent (from this repository by git when its work tree is clean, as in CI; from the tree as
# it is otherwise), and find_package of the Debian packages unpacked into a scratch root (shared,
# then static). Each build prints only on failure.
#   tests/consumer/run.sh WORKDIR PACKAGE.deb...
set -e
here=$(cd "$(dirname "$0")" && pwd)
source=$(cd "$here/../.." && pwd)
work=$1
shift
rm -rf "$work"
mkdir -p "$work/root"
work=$(cd "$work" && pwd)
for deb in "$@"; do dpkg -x "$deb" "$work/root"; done
# Unpacked, not installed: the dynamic linker is told where the packaged libraries are, as their
# own run paths name none (the system's directory would be searched anyway).
libdir=$(dirname "$(find "$work/root" -name libzkdict.so.1 | head -n 1)")

# consumer NAME shared|static CMAKE-ARGS...
consumer() {
    name=$1 kind=$2
    shift 2
    echo "== consumer: $name"
    log=$work/$name.log
    if ! { cmake -S "$here" -B "$work/$name" "$@" && cmake --build "$work/$name" -j2; } >"$log" 2>&1; then
        cat "$log"
        exit 1
    fi
    # The consumer's two tests and nothing of libzkdict's.
    ctest --test-dir "$work/$name" -N | grep -q '^Total Tests: 2$' ||
        { echo "$name: libzkdict added tests of its own" >&2; ctest --test-dir "$work/$name" -N; exit 1; }
    LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" ctest --test-dir "$work/$name" --output-on-failure
    for program in consumer_cxx consumer_c; do
        needed=$(readelf -d "$work/$name/$program" | grep NEEDED || true)
        case "$kind:$needed" in
            shared:*libzkdict.so.1*|static:*) ;;
            *) echo "$name: $program does not load libzkdict.so.1" >&2; exit 1 ;;
        esac
        case "$kind:$needed" in
            static:*libzk*) echo "$name: $program loads a shared libzkdict: $needed" >&2; exit 1 ;;
        esac
    done
}

consumer subdirectory shared -DZKDICT_FROM=subdirectory -DZKDICT_SOURCE_DIR="$source"
consumer subdirectory-static static -DZKDICT_FROM=subdirectory -DZKDICT_SOURCE_DIR="$source" -DBUILD_SHARED_LIBS=OFF

if [ -z "$(git -C "$source" status --porcelain 2>/dev/null)" ] && commit=$(git -C "$source" rev-parse HEAD 2>/dev/null); then
    consumer fetchcontent-git shared -DZKDICT_FROM=fetch -DZKDICT_GIT="file://$source" -DZKDICT_GIT_TAG="$commit"
else
    echo "(the work tree has changes: FetchContent takes the tree itself, not the commit)"
    consumer fetchcontent shared -DZKDICT_FROM=fetch -DZKDICT_SOURCE_DIR="$source"
fi

consumer package shared -DZKDICT_FROM=package -DCMAKE_PREFIX_PATH="$work/root/usr"
consumer package-static static -DZKDICT_FROM=package -DCMAKE_PREFIX_PATH="$work/root/usr" -Dzkdict_USE_STATIC_LIBS=ON
