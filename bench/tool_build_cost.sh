#!/bin/sh
# What `zkdict build` costs beyond the library's own HashDictBuild, on NKEYS URL-like keys (default
# 5,000,000): wall time, and peak resident memory against the key file plus the library's build
# memory. Targets: the tool within 1.3x the library's time, and within 1.2x of that memory.
# (bench/cpp_build_cost.sh holds the C++ layer to the same C build.)
#
#   bench/tool_build_cost.sh BUILD_DIR [NKEYS]
#
# BUILD_DIR is a Release build with ZK_BUILD_BENCH=ON that has made the targets zkdict_tool and
# hashdict_build_cost, e.g.
#   cmake -S . -B build-bench-tool -DCMAKE_BUILD_TYPE=Release -DZK_BUILD_BENCH=ON -DBUILD_TESTING=OFF
#   cmake --build build-bench-tool --target zkdict_tool hashdict_build_cost
# Each side runs RUNS times (default 3) and its fastest run is reported, with its memory; the
# machine's other work only ever adds time.
set -eu

. "$(dirname "$0")/build_cost_common.sh"
tool=$build/zkdict
need_programs "$tool" "$build_cost"
if [ ! -x /usr/bin/time ]; then
    echo "$0: /usr/bin/time is missing (Debian package time)" >&2
    exit 1
fi

make_keys "$keys"
bytes=$(stat -c %s "$keys")

best_build_cost
lib_wall=$best_wall lib_mem=$best_build

best_tool_wall='' tool_kb=''
i=0
while [ $i -lt "$runs" ]; do
    rm -f "$work/keys.dic"
    /usr/bin/time -f '%e %M' -o "$work/time" "$tool" build "$keys" "$work/keys.dic" >/dev/null
    read -r wall kb <"$work/time"
    if [ -z "$best_tool_wall" ] || awk -v a="$wall" -v b="$best_tool_wall" 'BEGIN { exit !(a < b) }'; then
        best_tool_wall=$wall tool_kb=$kb
    fi
    i=$((i + 1))
done

awk -v n="$nkeys" -v bytes="$bytes" -v lw="$lib_wall" -v lm="$lib_mem" -v tw="$best_tool_wall" \
    -v tk="$tool_kb" 'BEGIN {
    mb = 1048576
    tm = tk * 1024
    printf "%d keys, key file %.1f MB (%.1f bytes per key), best of '"$runs"' runs\n\n", n, bytes / mb, bytes / n
    printf "%-28s %8s %14s\n", "", "wall s", "peak RSS MB"
    printf "%-28s %8.2f %14.1f\n", "library (HashDictBuild)", lw, lm / mb
    printf "%-28s %8.2f %14.1f\n", "tool (zkdict build)", tw, tm / mb
    printf "\ntool / library wall:                        %.2f (target <= 1.30)\n", tw / lw
    printf "tool peak / (key file + library memory):    %.2f (target <= 1.20)\n", tm / (bytes + lm)
}'
