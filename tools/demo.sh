#!/bin/sh
# make demo: the zkdict tool end to end on a word list, then the C demo of the other families.
#   tools/demo.sh BUILD_DIR [word-list]
set -e
build=$1
words=${2:-/usr/share/dict/words}
zkdict=$build/zkdict
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== zkdict build $words (4 check bytes)"
"$zkdict" build "$words" "$work/words.dic" --check 4
echo "== zkdict info"
"$zkdict" info "$work/words.dic"
echo "== zkdict lookup: known and unknown words, timed"
"$zkdict" lookup --bench "$work/words.dic" "$(sed -n 1p "$words")" "$(sed -n '$p' "$words")" zzzzqx notaword
echo "== zkdict attr: the first 1000 words by line number, and back"
head -n 1000 "$words" | "$zkdict" attr build "$work/first"
"$zkdict" info "$work/first.idx"
"$zkdict" attr get "$work/first" 0 499 999 1000
"$zkdict" attr dump "$work/first" | head -n 3
echo "== zkdemo: hash tables, integer maps and attribute strings from a C client"
"$build/zkdemo" "$words"
