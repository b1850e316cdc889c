#!/usr/bin/env bash
# Times the kzb program against what it stands beside:
#   extract          kzb extract C.kzb            against  kzb-extract C.kzb
#   extract --sync   kzb extract --sync C.kzb     against  tar -xf C.tar && sync -f .
#   test             kzb test C.kzb               against  unzip -tq C.zip (the same files, stored)
# on the workloads of bench/run.sh, (a) 256 files of 2 MiB and (b) 20,000 files of 1 KiB, and
# `kzb list --json` on containers of 250,000, 500,000 and 1,000,000 entries (time and peak
# RSS, which should both grow in proportion).
#
#   TMPDIR=/mnt/bench bench/kzb.sh     (RUNS=N timed runs per command, default 5)
#
# As in bench/run.sh: on a freshly made file system, every extraction into a fresh directory,
# commands alternated in ABBA order, medians shown, nothing dirty in the page cache at a start.
set -euo pipefail

RUNS=${RUNS:-5}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build="$repo/build-bench"

source "$here/machine.sh"
needs cmake tar zip unzip /usr/bin/time

make_work kzb-bench
machine_lines "$work"
echo "command: $0 (RUNS=$RUNS)"
echo

echo "== build (Release, $build)"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target kzb-extract kzb make-workload make-many-entries \
  >/dev/null
echo "source:  $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo

# run_once DIR COMMAND...: runs COMMAND in a fresh directory under $work/out; prints
# "<wall ns> <peak RSS KiB>".
run_once() {
  local dir rc start end
  mkdir -p "$work/out"
  dir=$(mktemp -d "$work/out/run.XXXXXX")
  sync
  start=$(date +%s%N)
  (cd "$dir" && /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null) && rc=0 || rc=$?
  end=$(date +%s%N)
  if ((rc != 0)); then
    echo "kzb.sh: '$*' failed (exit $rc)" >&2
    exit 1
  fi
  # As in bench/run.sh: (a)'s directories go at once, (b)'s only after its runs (KEEP=1), since
  # ext4 makes the creations that follow a removal of 20,000 files pay for it.
  if [[ ${KEEP:-} != 1 ]]; then
    rm -rf -- "$dir"
  fi
  echo "$((end - start)) $(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")"
}

ms() { awk '{ printf "%.1f", $1 / 1e6 }'; }

# compare LABEL "COMMAND A" "COMMAND B": RUNS runs of each, alternated; one table row.
compare() {
  local label=$1 a=$2 b=$3 i
  : >"$work/a" && : >"$work/b"
  run_once bash -c "$a" >/dev/null && run_once bash -c "$b" >/dev/null  # warm-up
  for ((i = 0; i < RUNS; i++)); do
    if ((i % 2 == 0)); then
      run_once bash -c "$a" >>"$work/a"; run_once bash -c "$b" >>"$work/b"
    else
      run_once bash -c "$b" >>"$work/b"; run_once bash -c "$a" >>"$work/a"
    fi
  done
  rm -rf -- "$work/out"
  local a_ms b_ms
  a_ms=$(cut -d' ' -f1 "$work/a" | median | ms)
  b_ms=$(cut -d' ' -f1 "$work/b" | median | ms)
  printf '%-34s %10s %10s %7s\n' "$label" "$a_ms" "$b_ms" \
    "$(awk -v a="$a_ms" -v b="$b_ms" 'BEGIN { printf "%.2f", a / b }')" >>"$work/table"
}

printf '%-34s %10s %10s %7s\n' "what (A against B)" "A ms" "B ms" "A/B" >"$work/table"
kzb="$build/kzb"
extract="$build/kzb-extract"
for workload in "large 256 $((2 << 20)) (a) 256 x 2 MiB" "small 20000 1024 (b) 20000 x 1 KiB"; do
  read -r name count size label <<<"$workload"
  dir="$work/$name"
  echo "== $label"
  "$build/bench/make-workload" "$dir" "$count" "$size"
  tar -cf "$dir/C.tar" -C "$dir/files" -T "$dir/names"
  (cd "$dir/files" && zip -q -0 -r "$dir/C.zip" . )
  if [[ $name == small ]]; then export KEEP=1; else unset KEEP; fi
  compare "$label: kzb extract / kzb-extract" "'$kzb' extract '$dir/C.kzb'" "'$extract' '$dir/C.kzb'"
  compare "$label: extract --sync / tar+sync" "'$kzb' extract --sync '$dir/C.kzb'" \
    "tar -xf '$dir/C.tar' && sync -f ."
  compare "$label: kzb test / unzip -tq" "'$kzb' test '$dir/C.kzb'" "unzip -tq '$dir/C.zip'"
  rm -rf -- "$dir"
done

echo "== kzb list --json on many entries"
: >"$work/list"
for count in 250000 500000 1000000; do
  "$build/bench/make-many-entries" "$work/many.kzb" "$count"
  : >"$work/runs"
  for ((i = 0; i < RUNS; i++)); do
    run_once "$kzb" list --json "$work/many.kzb" >>"$work/runs"
  done
  printf '%-10s %10s ms %10s KiB\n' "$count" "$(cut -d' ' -f1 "$work/runs" | median | ms)" \
    "$(cut -d' ' -f2 "$work/runs" | median)" >>"$work/list"
  rm -f "$work/many.kzb"
done
echo
echo "== results: medians of $RUNS alternated runs each, after a warm-up"
cat "$work/table"
echo
echo "kzb list --json: entries, wall time, peak RSS (medians)"
cat "$work/list"
