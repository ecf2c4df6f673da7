#!/usr/bin/env bash
# Build the reader fuzz target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and run it on a copy of the seed corpus.
#   fuzz/run.sh [seconds]        (default 60)
# Needs clang with its runtime (Debian: clang). Exits non-zero on a crash.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../src"
seconds=${1:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$src" "$here/fuzz_reader.cc" \
  "$src"/core/common/*.cc "$src"/core/format/*.cc "$src"/core/reader/*.cc \
  -o "$work/fuzz_reader"

mkdir "$work/corpus"
cp "$here"/corpus/* "$work/corpus/"
cd "$work"
./fuzz_reader -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 corpus 2>&1 | tail -n 20
