#!/bin/sh
# What the C++ layer's zkdict::HashDict::build costs beyond the C build (HashDictBuild through a
# callback over one text), on NKEYS URL-like keys (default 5,000,000), the keys of
# bench/tool_build_cost.sh: wall time, the memory the build adds to what the client already holds,
# and the process's peak. Target: the C++ build within 1.1x the C build's time.
#
#   bench/cpp_build_cost.sh BUILD_DIR [NKEYS]
#
# BUILD_DIR is a Release build with ZK_BUILD_BENCH=ON that has made the target hashdict_build_cost,
# e.g.
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZK_BUILD_BENCH=ON -DBUILD_TESTING=OFF
#   cmake --build build-bench --target hashdict_build_cost
# The C++ build runs twice: on a std::vector<std::string>, as a C++ client holds lines it has read,
# and on a std::vector<std::string_view> into one text, which leaves the keys where the C build has
# them and so shows the layer's own cost apart from the scattered strings'. Each side runs RUNS times
# (default 3) and its fastest run is reported, with its memory.
set -eu

. "$(dirname "$0")/build_cost_common.sh"
need_programs "$build_cost"

make_keys "$keys"
bytes=$(stat -c %s "$keys")

best_build_cost
c_wall=$best_wall c_build=$best_build c_held=$best_held
best_build_cost --strings
s_wall=$best_wall s_build=$best_build s_held=$best_held
best_build_cost --views
v_wall=$best_wall v_build=$best_build v_held=$best_held

awk -v n="$nkeys" -v bytes="$bytes" -v runs="$runs" \
    -v cw="$c_wall" -v cb="$c_build" -v ch="$c_held" \
    -v sw="$s_wall" -v sb="$s_build" -v sh="$s_held" \
    -v vw="$v_wall" -v vb="$v_build" -v vh="$v_held" 'BEGIN {
    mb = 1048576
    printf "%d keys, key file %.1f MB (%.1f bytes per key), best of %d runs\n", n, bytes / mb, bytes / n, runs
    printf "held: resident before the build (the keys as the client holds them); build: what the build\n"
    printf "adds to that at its peak; peak: held + build\n\n"
    printf "%-44s %8s %10s %10s %10s\n", "", "wall s", "held MB", "build MB", "peak MB"
    printf "%-44s %8.2f %10.1f %10.1f %10.1f\n", "C (HashDictBuild, one text + line starts)", cw, ch / mb, cb / mb, (ch + cb) / mb
    printf "%-44s %8.2f %10.1f %10.1f %10.1f\n", "C++ (HashDict::build, vector<string>)", sw, sh / mb, sb / mb, (sh + sb) / mb
    printf "%-44s %8.2f %10.1f %10.1f %10.1f\n", "C++ (HashDict::build, vector<string_view>)", vw, vh / mb, vb / mb, (vh + vb) / mb
    printf "\n%-44s %6s %17s\n", "", "string", "string_view"
    printf "%-44s %6.2f %17.2f (target <= 1.10)\n", "C++ build / C build wall:", sw / cw, vw / cw
    printf "%-44s %6.2f %17.2f\n", "C++ build / C build memory added:", sb / cb, vb / cb
    printf "%-44s %6.2f %17.2f\n", "C++ peak / C peak:", (sh + sb) / (ch + cb), (vh + vb) / (ch + cb)
}'
