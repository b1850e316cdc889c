#!/usr/bin/env bash
# The bounded fuzzing run of CI: builds the libFuzzer targets in build-fuzz, writes the seed
# corpus, then fuzzes the whole run for about 45 s and the walk alone for about 15 s. Any
# crash, leak, timeout, out-of-memory or sanitizer report makes libFuzzer exit non-zero, and
# with it this script. Crash inputs are left in build-fuzz/artifacts.
#
#   fuzz/run-ci.sh            (from anywhere; EXTRACT_SECONDS and WALK_SECONDS override)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
out="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKZB_FUZZ=ON -DKZB_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j "$(nproc)" --target fuzz_extract fuzz_walk make_corpus

# Fresh seeds each run; the corpora grown by earlier runs stay and keep their finds.
rm -rf "$out/seeds"
"$out/fuzz/make_corpus" "$out/seeds"
mkdir -p "$out/corpus-extract" "$out/corpus-walk" "$out/artifacts"

# Paths are absolute: fuzz_extract works in a directory of its own.
common=(-timeout=2 -rss_limit_mb=512 -dict="$root/fuzz/kzb.dict" -print_final_stats=1
  -artifact_prefix="$out/artifacts/")

echo "== fuzz_extract"
"$out/fuzz/fuzz_extract" "${common[@]}" -max_total_time="${EXTRACT_SECONDS:-45}" \
  "$out/corpus-extract" "$out/seeds"
echo "== fuzz_walk"
"$out/fuzz/fuzz_walk" "${common[@]}" -max_total_time="${WALK_SECONDS:-15}" \
  "$out/corpus-walk" "$out/seeds"
