#!/usr/bin/env bash
# Times kzb-extract against `tar -xf` and `cp -r` on the same files, and measures
# kzb-extract's peak resident memory.
#
#   bench/run.sh            (from anywhere; RUNS=N sets the timed runs per tool, default 5)
#   KZB_EXTRACT=/path/to/kzb-extract bench/run.sh   (times that binary instead, e.g. a
#                                                    candidate change built elsewhere)
#
# Workloads: (a) 256 files of 2 MiB, (b) 20,000 files of 1 KiB, plus (a) with every payload
# doubled to 4 MiB, for memory only. Each workload is a KZB container, a tar archive and a
# plain directory of exactly the same files: kzb-extract and tar extract into a fresh empty
# directory, cp -r copies the directory's contents into one, all on the same file system as
# the workload, and every such directory is removed outside the timing. Runs alternate
# between the tools, forwards then backwards, so that a neighbour on the machine (a fuzzer,
# say) or the page cache's state costs all alike; the table shows medians.
# Everything printed is measured on this run.
#
# When the directories go matters. ext4 will not hand out an inode freed in the last minute
# or more (recently_deleted() in its inode allocator), and checks each such inode in turn:
# after an `rm -rf` of 20,000 files, the next 20,000 creations spent up to 10x the usual
# system time there, on whichever tool came next. So for (b) the run directories are
# removed only once the workload's runs are over. For (a), freeing 256 inodes costs
# nothing, and removing each directory at once drops its 512 MiB of dirty pages before
# writeback would compete with the next run.
set -euo pipefail

RUNS=${RUNS:-5}
WARMUP=1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build="$repo/build-bench"  # its own tree: build/ and build-asan/ are the maintainer's

source "$here/machine.sh"
needs cmake tar cp awk df /usr/bin/time

# The sync writes back the inode tables the removal dirtied: ext4 treats a freed inode as
# recent for 60 s, or 360 s while its inode table block is dirty, and a benchmark started
# within that window pays for it in (b) (see above). Allow a minute between two runs.
#
# Since (b) keeps its run directories, it needs 20,000 inodes per run of each tool (the
# warm-up included) on top of its own 20,000 files: 380,000 with RUNS=5, more than ext4 gives
# a 2 GiB file system by default. Make the file system with room for them, e.g. (the -E
# options do the inode tables' and the journal's zeroing now, not in the background during
# the runs):
#   truncate -s 4G /tmp/bench.img
#   mkfs.ext4 -q -N 600000 -E lazy_itable_init=0,lazy_journal_init=0 /tmp/bench.img
#   mount -o loop /tmp/bench.img /mnt/bench && TMPDIR=/mnt/bench bench/run.sh
make_work kzb-bench
machine_lines "$work"
echo "tar:     $(tar --version | head -n1)"
echo "cp:      $(cp --version | head -n1)"
echo "command: $0 $* (RUNS=$RUNS${KZB_EXTRACT:+ KZB_EXTRACT=$KZB_EXTRACT})"
echo

# Told before the long runs start, not when (b) runs out of inodes half way.
tools=(kzb tar cp)
inodes_needed=$((20000 * (1 + (WARMUP + RUNS) * ${#tools[@]}) + 100))
inodes_free=$(df -Pi "$work" | awk 'NR == 2 { print $4 }')
if [[ $inodes_free =~ ^[0-9]+$ ]] && ((inodes_free < inodes_needed)); then
  echo "run.sh: (b) needs $inodes_needed free inodes, the file system has $inodes_free" \
    "(see the top of this script)" >&2
  exit 1
fi

echo "== build (Release, $build)"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target kzb-extract make-workload >/dev/null
echo "source:  $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$repo" diff --quiet HEAD -- container cli 2>/dev/null || echo ' (container/ or cli/ changed since)')"
kzb=${KZB_EXTRACT:-$build/kzb-extract}
kzb=$(realpath "$kzb")  # the runs change directory
echo "kzb-extract: $kzb"
echo

# make_workload NAME COUNT SIZE [notar]: DIR/C.kzb, DIR/files and, unless told otherwise,
# DIR/C.tar of the very same files, laid out flat so that all three give the same tree.
make_workload() {
  local dir="$work/$1"
  "$build/bench/make-workload" "$dir" "$2" "$3"
  if [[ ${4:-} != notar ]]; then
    tar -cf "$dir/C.tar" -C "$dir/files" -T "$dir/names"
  fi
}

# One run of one tool into a fresh directory, removed at once unless KEEP=1 (then with the
# rest of $work/out at the end of the workload). Prints "<wall ns> <peak RSS KiB> <CPU ms>",
# CPU being user + system time: less disturbed than wall time by a neighbour taking a core.
# Every tool goes through /usr/bin/time, so its small cost is on every side.
run_once() {
  local tool=$1 dir=$2 out rc start end
  mkdir -p "$work/out"
  out=$(mktemp -d "$work/out/run.XXXXXX")
  # Each run starts with nothing dirty in the page cache: otherwise the writeback of the run
  # before lands on this one, and one run in three took two to four times as long.
  sync
  start=$(date +%s%N)
  case $tool in
    kzb) (cd "$out" && /usr/bin/time -v -o "$work/time.txt" "$kzb" "$dir/C.kzb" >/dev/null) ;;
    tar) (cd "$out" && /usr/bin/time -v -o "$work/time.txt" tar -xf "$dir/C.tar") ;;
    cp) (cd "$out" && /usr/bin/time -v -o "$work/time.txt" cp -r "$dir/files/." .) ;;
  esac && rc=0 || rc=$?
  end=$(date +%s%N)
  if ((rc != 0)); then
    echo "run.sh: $tool failed on $dir (exit $rc)" >&2
    exit 1
  fi
  if [[ ${VERIFY:-} == 1 ]]; then
    # The files extracted must be the files packed, or the timing means nothing.
    diff -rq "$dir/files" "$out" >/dev/null || { echo "run.sh: $tool output differs" >&2; exit 1; }
  fi
  if [[ ${KEEP:-} != 1 ]]; then
    rm -rf -- "$out"
  fi
  echo "$((end - start)) $(time_fields "$work/time.txt")"
}

# bench NAME LABEL: warm-up (checked against the packed files), then RUNS interleaved runs of
# each tool; appends one table row to $work/table.
bench() {
  local name=$1 label=$2 dir="$work/$1" i order tool
  local -A ms rss cpu
  for tool in "${tools[@]}"; do
    : >"$work/$name.$tool"
  done
  for ((i = 0; i < WARMUP; i++)); do
    for tool in "${tools[@]}"; do
      VERIFY=1 run_once "$tool" "$dir" >/dev/null
    done
  done
  for ((i = 0; i < RUNS; i++)); do
    if ((i % 2 == 0)); then order="kzb tar cp"; else order="cp tar kzb"; fi
    for tool in $order; do
      run_once "$tool" "$dir" >>"$work/$name.$tool"
    done
  done
  rm -rf -- "$work/out"
  for tool in "${tools[@]}"; do
    ms[$tool]=$(cut -d' ' -f1 "$work/$name.$tool" | median | awk '{ printf "%.1f", $1 / 1e6 }')
    rss[$tool]=$(cut -d' ' -f2 "$work/$name.$tool" | max)
    cpu[$tool]=$(cut -d' ' -f3 "$work/$name.$tool" | median)
  done
  printf_row "$label" "${ms[kzb]}" "${ms[tar]}" "${ms[cp]}" \
    "$(awk -v k="${ms[kzb]}" -v t="${ms[tar]}" 'BEGIN { printf "%.2f", k / t }')" \
    "$(awk -v k="${ms[kzb]}" -v c="${ms[cp]}" 'BEGIN { printf "%.2f", k / c }')" \
    "${cpu[kzb]}" "${cpu[tar]}" "${cpu[cp]}" "${rss[kzb]}" "${rss[tar]}" "${rss[cp]}" \
    >>"$work/table"
  for tool in "${tools[@]}"; do
    printf '  %s: %-11s ms: %s\n' "$label" "${names[$tool]}" \
      "$(cut -d' ' -f1 "$work/$name.$tool" | awk '{ printf "%.0f ", $1 / 1e6 }')"
  done
}

declare -A names=([kzb]=kzb-extract [tar]="tar -xf" [cp]="cp -r")

printf_row() { printf '%-18s %8s %8s %8s %7s %6s %7s %7s %7s %7s %7s %7s\n' "$@"; }
printf_row workload "kzb ms" "tar ms" "cp ms" kzb/tar kzb/cp "kzb CPU" "tar CPU" "cp CPU" \
  "kzb RSS" "tar RSS" "cp RSS" >"$work/table"

echo "== (a) 256 files x 2 MiB"
make_workload large 256 $((2 << 20))
bench large "(a) 256 x 2 MiB"
rm -rf -- "$work/large"
echo "== (b) 20000 files x 1 KiB"
make_workload small 20000 1024
KEEP=1 bench small "(b) 20000 x 1 KiB"
rm -rf -- "$work/small"

# Memory only: the same number of files with twice the bytes each. Peak RSS must not move.
echo "== (a2) 256 files x 4 MiB, kzb-extract peak RSS only"
make_workload double 256 $((4 << 20)) notar
rm -rf -- "$work/double/files"  # only the container is needed from here on
: >"$work/double.rss"
for ((i = 0; i < RUNS; i++)); do
  run_once kzb "$work/double" | cut -d' ' -f2 >>"$work/double.rss"
done
double_rss=$(max <"$work/double.rss")
large_rss=$(cut -d' ' -f2 "$work/large.kzb" | max)
echo

echo "== results: wall (ms) and CPU (user + system, ms) are medians of $RUNS interleaved runs"
echo "   per tool after $WARMUP warm-up; RSS (KiB) is the maximum over those runs"
cat "$work/table"
printf_row "(a2) 256 x 4 MiB" - - - - - - - - "$double_rss" - -
echo
echo "kzb-extract peak RSS: (a) ${large_rss} KiB, (a2) payloads doubled ${double_rss} KiB," \
  "growth $((double_rss - large_rss)) KiB"
