#!/bin/sh
# What `zkdict build` costs beyond the library's own HashDictBuild, on NKEYS URL-like keys (default
# 5,000,000): wall time, and peak resident memory against the key file plus the library's build
# memory. Targets: the tool within 1.3x the library's time, and within 1.2x of that memory.
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

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [NKEYS]" >&2
    exit 2
fi
build=$1
nkeys=${2:-5000000}
runs=${RUNS:-3}
tool=$build/zkdict
library=$build/bench/hashdict_build_cost
for program in "$tool" "$library"; do
    if [ ! -x "$program" ]; then
        echo "$0: $program is missing: build zkdict_tool and hashdict_build_cost in $build" >&2
        exit 1
    fi
done
if [ ! -x /usr/bin/time ]; then
    echo "$0: /usr/bin/time is missing (Debian package time)" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
keys=$work/keys.txt

# Distinct keys, the same on every run: key i ends in its own number. Host, path and query vary with
# a hash of i, for lengths from about 35 to 110 bytes.
awk -v n="$nkeys" 'BEGIN {
    split("com net org io co.uk example.com", tld, " ")
    split("news blog shop api static media docs search user items product category archive " \
          "2024 images v1 v2 download account settings", word, " ")
    for (i = 0; i < n; i++) {
        h = (i * 7919 + 104729) % 1000003
        url = "https://" (h % 3 == 0 ? "www." : "") "host-" (h % 50021) "." tld[1 + i % 6]
        segments = 1 + h % 5
        for (s = 0; s < segments; s++) url = url "/" word[1 + (h + s * 31 + int(i / 7)) % 21]
        if (h % 4 == 0) url = url "/item-" (h % 99991) ".html"
        url = url "?q=" i
        if (h % 5 < 2) url = url "&page=" (h % 97) "&sort=" word[1 + h % 21]
        print url
    }
}' >"$keys"
bytes=$(stat -c %s "$keys")
cat "$keys" >/dev/null   # both sides start from a warm page cache

best_lib_wall='' lib_mem=''
i=0
while [ $i -lt "$runs" ]; do
    line=$("$library" "$keys")
    wall=$(echo "$line" | sed -n 's/.*wall_s=\([0-9.]*\).*/\1/p')
    mem=$(echo "$line" | sed -n 's/.*build_rss_bytes=\([0-9]*\).*/\1/p')
    if [ -z "$best_lib_wall" ] || awk -v a="$wall" -v b="$best_lib_wall" 'BEGIN { exit !(a < b) }'; then
        best_lib_wall=$wall lib_mem=$mem
    fi
    i=$((i + 1))
done

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

awk -v n="$nkeys" -v bytes="$bytes" -v lw="$best_lib_wall" -v lm="$lib_mem" -v tw="$best_tool_wall" \
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
