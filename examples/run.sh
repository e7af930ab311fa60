#!/bin/sh
# Builds and runs every example against the libzkdict installed under PREFIX (an install prefix, or
# the usr directory of an unpacked package), twice: through the CMake package (find_package) and
# through pkg-config, as the two kinds of client build would.
#   examples/run.sh PREFIX [WORKDIR]
set -e
prefix=$(cd "$1" && pwd)
work=${2:-$(mktemp -d)}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"

pc=$(find "$prefix" -name zkdict.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc" ] || { echo "examples/run.sh: no zkdict.pc under $prefix" >&2; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pc")"
libdir=$(pkg-config --variable=libdir zkdict)
# Installed libraries carry no run path; the examples find them here.
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

echo "== examples through find_package(zkdict) from $prefix"
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" -j2
ctest --test-dir "$work/cmake" --output-on-failure

echo "== examples through pkg-config ($pc)"
for source in "$here"/*.c "$here"/*.cpp; do
    [ -e "$source" ] || continue
    name=$(basename "$source" | sed 's/\.[^.]*$//')
    case "$source" in
        *.c) cc -std=c11 -Wall -Wextra -Werror "$source" -o "$work/$name" $(pkg-config --cflags --libs zkdict) ;;
        *) c++ -std=c++20 -Wall -Wextra -Werror "$source" -o "$work/$name" $(pkg-config --cflags --libs zkdict) ;;
    esac
    "$work/$name" >/dev/null
    echo "$name: ok"
done
