#!/usr/bin/env bash
# The bounded fuzzing run of CI: builds the libFuzzer targets in build-fuzz, writes the seed
# corpus, then fuzzes each target for a bounded time: the whole run of kzb-extract (30 s), the
# walk alone (10 s), the conversion into a ZIP read back by libzip (30 s), into an EPUB read
# back by libzip and libxml2 (20 s), list --json (15 s),
# the glob matcher against fnmatch (10 s) and the command line (10 s): about two minutes of
# fuzzing in all. Any crash, leak, timeout, out-of-memory or sanitizer report makes libFuzzer
# exit non-zero, and with it this script. Crash inputs are left in build-fuzz/artifacts.
#
#   fuzz/run-ci.sh            (from anywhere; EXTRACT_SECONDS, WALK_SECONDS, CONVERT_SECONDS, EPUB_SECONDS,
#                              LISTING_SECONDS, GLOB_SECONDS and COMMAND_LINE_SECONDS override)
#   fuzz/run-ci.sh --build    builds the targets and stops (CI builds them ahead of the run)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
out="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKZB_FUZZ=ON -DKZB_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz -j "$(nproc)" --target fuzz_extract fuzz_walk fuzz_convert \
  fuzz_epub fuzz_listing fuzz_glob fuzz_command_line make_corpus
[ "${1:-}" = --build ] && exit 0

# Fresh seeds each run; the corpora grown by earlier runs stay and keep their finds.
rm -rf "$out/seeds"
"$out/fuzz/make_corpus" "$out/seeds"
mkdir -p "$out/artifacts"

# Paths are absolute: fuzz_extract works in a directory of its own.
common=(-timeout=2 -rss_limit_mb=512 -print_final_stats=1 -artifact_prefix="$out/artifacts/")

# fuzz TARGET SECONDS DICTIONARY [SEED DIRECTORY...]: the corpus of build-fuzz/corpus-NAME
# grows from run to run; fuzz/corpus-NAME, where there is one, holds the inputs that once
# found a fault and is replayed first.
fuzz() {
  local target=$1 seconds=$2 dictionary=$3
  shift 3
  local name=${target#fuzz_}
  name=${name//_/-}
  mkdir -p "$out/corpus-$name"
  local kept=()
  [ -d "$root/fuzz/corpus-$name" ] && kept=("$root/fuzz/corpus-$name")
  echo "== $target"
  "$out/fuzz/$target" "${common[@]}" -dict="$root/fuzz/$dictionary" -max_total_time="$seconds" \
    "$out/corpus-$name" "${kept[@]}" "$@"
}

fuzz fuzz_extract "${EXTRACT_SECONDS:-30}" kzb.dict "$out/seeds"
fuzz fuzz_walk "${WALK_SECONDS:-10}" kzb.dict "$out/seeds"
fuzz fuzz_convert "${CONVERT_SECONDS:-30}" kzb.dict "$out/seeds"
fuzz fuzz_epub "${EPUB_SECONDS:-20}" kzb.dict "$out/seeds"
fuzz fuzz_listing "${LISTING_SECONDS:-15}" kzb.dict "$out/seeds"
fuzz fuzz_glob "${GLOB_SECONDS:-10}" glob.dict
fuzz fuzz_command_line "${COMMAND_LINE_SECONDS:-10}" command_line.dict
