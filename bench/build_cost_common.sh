# What bench/tool_build_cost.sh and bench/cpp_build_cost.sh share; sourced, not run. Both hold a
# client's build to the C build of the same keys, so both take the same keys and time the C build
# the same way.
#
# Sets build (the build directory), nkeys, runs and work (a temporary directory removed on exit),
# from the arguments "BUILD_DIR [NKEYS]" and the environment's RUNS (default 3), and defines:
#   need_programs PROGRAM...   stops the script unless each is an executable of the build
#   make_keys FILE             writes the nkeys URL-like keys to FILE, warm in the page cache
#   best_build_cost [OPTION]   runs hashdict_build_cost [OPTION] on $keys runs times and sets
#                              best_wall, best_build (bytes the build added) and best_held (the
#                              resident size before it) to those of the fastest run: the machine's
#                              other work only ever adds time

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [NKEYS]" >&2
    exit 2
fi
build=$1
nkeys=${2:-5000000}
runs=${RUNS:-3}
build_cost=$build/bench/hashdict_build_cost

need_programs() {
    for program in "$@"; do
        if [ ! -x "$program" ]; then
            echo "$0: $program is missing: build the targets named at the top of $0 in $build" >&2
            exit 1
        fi
    done
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
keys=$work/keys.txt

# Distinct keys, the same on every run: key i ends in its own number. Host, path and query vary with
# a hash of i, for lengths from about 35 to 110 bytes.
make_keys() {
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
    }' >"$1"
    cat "$1" >/dev/null   # every side starts from a warm page cache
}

best_build_cost() {
    best_wall='' best_build='' best_held=''
    run=0
    while [ $run -lt "$runs" ]; do
        line=$("$build_cost" "$@" "$keys")
        wall=$(echo "$line" | sed -n 's/.*wall_s=\([0-9.]*\).*/\1/p')
        if [ -z "$best_wall" ] || awk -v a="$wall" -v b="$best_wall" 'BEGIN { exit !(a < b) }'; then
            best_wall=$wall
            best_build=$(echo "$line" | sed -n 's/.*build_rss_bytes=\([0-9]*\).*/\1/p')
            best_held=$(echo "$line" | sed -n 's/.*held_rss_bytes=\([0-9]*\).*/\1/p')
        fi
        run=$((run + 1))
    done
}
