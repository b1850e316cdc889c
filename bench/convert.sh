#!/usr/bin/env bash
# Times `kzb convert C.kzb -o OUT.cbz` against Info-ZIP's `zip -0 -r OUT.zip .` run over the
# very same files laid out in a folder, and measures kzb's peak resident memory.
#
#   TMPDIR=/mnt/cbench bench/convert.sh   (RUNS=N timed runs per tool, default 5;
#                                          BUILD=DIR the Release tree to build kzb in,
#                                          default build-bench; KZB=/path/to/kzb times that
#                                          binary instead)
#
# Workload (a): 256 files of 2 MiB, made by bench/make-workload, as a KZB container and as
# plain files. Both tools read 512 MiB and write a stored ZIP of it with a CRC-32 per member.
# Then (a) with every payload doubled to 4 MiB, for kzb's peak RSS only, which must not grow.
# Then (p): workload (a) made of pages (each file a PNG's header, then the same bytes), which
# `kzb convert --to epub` makes into an EPUB of 256 fixed-layout pages, timed against
# `kzb convert` to a CBZ of the same container, and its peak RSS with every page doubled.
# As in bench/run.sh: each run writes into a fresh directory on the same file system as the
# workload, runs alternate between the tools in ABBA order, nothing is dirty in the page cache
# when a run starts, and the table shows medians. Run it on a freshly made file system.
set -euo pipefail

RUNS=${RUNS:-5}
WARMUP=1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${BUILD:-$repo/build-bench}

source "$here/machine.sh"
needs cmake zip unzip awk /usr/bin/time

make_work kzb-cbench
machine_lines "$work"
echo "zip:     $(zip -v | sed -n 2p | sed 's/^ *//')"
echo "command: $0 $* (RUNS=$RUNS${KZB:+ KZB=$KZB})"
echo

echo "== build (Release, $build)"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target kzb make-workload >/dev/null
echo "source:  $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$repo" diff --quiet HEAD -- container convert kzb platform 2>/dev/null || echo ' (changed since)')"
kzb=$(realpath "${KZB:-$build/kzb}")
echo "kzb:     $kzb"
echo

# One run of one tool into a fresh directory, removed at once. Prints
# "<wall ns> <peak RSS KiB> <CPU ms>". Both tools go through /usr/bin/time.
run_once() {
  local tool=$1 dir=$2 out rc start end
  out=$(mktemp -d "$work/out.XXXXXX")
  sync  # the writeback of the run before must not land on this one
  start=$(date +%s%N)
  if [[ $tool == kzb || $tool == cbz ]]; then
    /usr/bin/time -v -o "$work/time.txt" "$kzb" convert "$dir/C.kzb" -o "$out/C.cbz" && rc=0 || rc=$?
  elif [[ $tool == epub ]]; then
    /usr/bin/time -v -o "$work/time.txt" "$kzb" convert --to epub "$dir/C.kzb" -o "$out/C.epub" && rc=0 || rc=$?
  else
    (cd "$dir/files" && /usr/bin/time -v -o "$work/time.txt" zip -0 -q -r "$out/C.zip" .) && rc=0 || rc=$?
  fi
  end=$(date +%s%N)
  if ((rc != 0)); then
    echo "convert.sh: $tool failed on $dir (exit $rc)" >&2
    exit 1
  fi
  if [[ ${VERIFY:-} == 1 ]]; then
    # Both ZIPs must hold every file whole, or the timing means nothing.
    unzip -tq "$out"/C.* >/dev/null || { echo "convert.sh: $tool wrote a bad ZIP" >&2; exit 1; }
    local members
    members=$(unzip -Z1 "$out"/C.* | grep -c -E '^(f.*\.(bin|png)|EPUB/images/[0-9]+\.png)$')
    ((members == $(wc -l <"$dir/names"))) || { echo "convert.sh: $tool: $members members" >&2; exit 1; }
  fi
  rm -rf -- "$out"
  echo "$((end - start)) $(time_fields "$work/time.txt")"
}

echo "== (a) 256 files x 2 MiB"
"$build/bench/make-workload" "$work/large" 256 $((2 << 20))
: >"$work/kzb" && : >"$work/zip"
for ((i = 0; i < WARMUP; i++)); do
  VERIFY=1 run_once kzb "$work/large" >/dev/null
  VERIFY=1 run_once zip "$work/large" >/dev/null
done
for ((i = 0; i < RUNS; i++)); do
  if ((i % 2 == 0)); then order="kzb zip"; else order="zip kzb"; fi
  for tool in $order; do
    run_once "$tool" "$work/large" >>"$work/$tool"
  done
done
rm -rf -- "$work/large"
echo "  kzb convert ms: $(cut -d' ' -f1 "$work/kzb" | awk '{ printf "%.0f ", $1 / 1e6 }')"
echo "  zip -0 -r ms:   $(cut -d' ' -f1 "$work/zip" | awk '{ printf "%.0f ", $1 / 1e6 }')"

echo "== (p) 256 pages x 2 MiB, --to epub against --to cbz"
"$build/bench/make-workload" "$work/pages" 256 $((2 << 20)) pages
rm -rf -- "$work/pages/files"
: >"$work/epub" && : >"$work/cbz"
for ((i = 0; i < WARMUP; i++)); do
  VERIFY=1 run_once epub "$work/pages" >/dev/null
  VERIFY=1 run_once cbz "$work/pages" >/dev/null
done
for ((i = 0; i < RUNS; i++)); do
  if ((i % 2 == 0)); then order="epub cbz"; else order="cbz epub"; fi
  for tool in $order; do
    run_once "$tool" "$work/pages" >>"$work/$tool"
  done
done
rm -rf -- "$work/pages"
echo "  --to epub ms:   $(cut -d' ' -f1 "$work/epub" | awk '{ printf "%.0f ", $1 / 1e6 }')"
echo "  --to cbz ms:    $(cut -d' ' -f1 "$work/cbz" | awk '{ printf "%.0f ", $1 / 1e6 }')"
"$build/bench/make-workload" "$work/pages2" 256 $((4 << 20)) pages
rm -rf -- "$work/pages2/files"
: >"$work/pages2.rss"
for ((i = 0; i < RUNS; i++)); do
  run_once epub "$work/pages2" | cut -d' ' -f2 >>"$work/pages2.rss"
done
rm -rf -- "$work/pages2"

echo "== (a2) 256 files x 4 MiB, kzb peak RSS only"
"$build/bench/make-workload" "$work/double" 256 $((4 << 20))
rm -rf -- "$work/double/files"  # only the container is needed from here on
: >"$work/double.rss"
for ((i = 0; i < RUNS; i++)); do
  run_once kzb "$work/double" | cut -d' ' -f2 >>"$work/double.rss"
done
echo

kzb_ms=$(cut -d' ' -f1 "$work/kzb" | median | awk '{ printf "%.1f", $1 / 1e6 }')
zip_ms=$(cut -d' ' -f1 "$work/zip" | median | awk '{ printf "%.1f", $1 / 1e6 }')
kzb_cpu=$(cut -d' ' -f3 "$work/kzb" | median)
zip_cpu=$(cut -d' ' -f3 "$work/zip" | median)
kzb_rss=$(cut -d' ' -f2 "$work/kzb" | max)
zip_rss=$(cut -d' ' -f2 "$work/zip" | max)
double_rss=$(max <"$work/double.rss")
epub_ms=$(cut -d' ' -f1 "$work/epub" | median | awk '{ printf "%.1f", $1 / 1e6 }')
cbz_ms=$(cut -d' ' -f1 "$work/cbz" | median | awk '{ printf "%.1f", $1 / 1e6 }')
epub_cpu=$(cut -d' ' -f3 "$work/epub" | median)
cbz_cpu=$(cut -d' ' -f3 "$work/cbz" | median)
epub_rss=$(cut -d' ' -f2 "$work/epub" | max)
pages2_rss=$(max <"$work/pages2.rss")
echo "== results: wall (ms) and CPU (user + system, ms) are medians of $RUNS interleaved runs"
echo "   per tool after $WARMUP warm-up; RSS is the maximum over those runs"
printf '%-18s %9s %9s %7s %11s %11s %12s %12s\n' workload "kzb ms" "zip ms" kzb/zip \
  "kzb CPU ms" "zip CPU ms" "kzb RSS KiB" "zip RSS KiB"
printf '%-18s %9s %9s %7s %11s %11s %12s %12s\n' "(a) 256 x 2 MiB" "$kzb_ms" "$zip_ms" \
  "$(awk -v k="$kzb_ms" -v z="$zip_ms" 'BEGIN { printf "%.2f", k / z }')" "$kzb_cpu" "$zip_cpu" \
  "$kzb_rss" "$zip_rss"
printf '%-18s %9s %9s %7s %11s %11s %12s %12s\n' "(a2) 256 x 4 MiB" - - - - - "$double_rss" -
echo
printf '%-18s %9s %9s %9s %11s %11s %12s\n' workload "epub ms" "cbz ms" epub/cbz \
  "epub CPU ms" "cbz CPU ms" "epub RSS KiB"
printf '%-18s %9s %9s %9s %11s %11s %12s\n' "(p) 256 x 2 MiB" "$epub_ms" "$cbz_ms" \
  "$(awk -v e="$epub_ms" -v c="$cbz_ms" 'BEGIN { printf "%.2f", e / c }')" "$epub_cpu" \
  "$cbz_cpu" "$epub_rss"
printf '%-18s %9s %9s %9s %11s %11s %12s\n' "(p2) 256 x 4 MiB" - - - - - "$pages2_rss"
echo
echo "kzb convert peak RSS: (a) ${kzb_rss} KiB, (a2) payloads doubled ${double_rss} KiB," \
  "growth $((double_rss - kzb_rss)) KiB"
echo "kzb convert --to epub peak RSS: (p) ${epub_rss} KiB, (p2) pages doubled ${pages2_rss} KiB," \
  "growth $((pages2_rss - epub_rss)) KiB"
