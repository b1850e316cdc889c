#!/usr/bin/env bash
# Times kzb on a library of containers: one kzb with -j 1, one with -j 2 (or JOBS), and
# xargs -P 2 -n 10 running kzb -j 1 over the same containers, for convert --deflate,
# convert (stored), extract --each and test. Reports medians, the ratios, and peak RSS.
#
#   TMPDIR=/mnt/jbench bench/jobs.sh   (RUNS=N timed runs per variant, default 3; JOBS=N the
#                                       jobs of the parallel run, default 2; BUILD=DIR the
#                                       Release tree to build kzb in, default build-bench)
#
# The library: 200 containers of 40 entries x 100 KiB (800 MiB), made by bench/make-workload
# once and copied. Each run writes into a fresh directory on the same file system as the
# library, removed outside the timing; nothing is dirty in the page cache when a run starts;
# the variants take turns, forwards then backwards. Run it on a freshly made file system, as
# README says:
#
#   truncate -s 4G /var/tmp/jbench.img && mkfs.ext4 -q /var/tmp/jbench.img
#   mkdir -p /mnt/jbench && mount -o loop /var/tmp/jbench.img /mnt/jbench
set -euo pipefail

RUNS=${RUNS:-3}
JOBS=${JOBS:-2}
CONTAINERS=200
ENTRIES=40
ENTRY_SIZE=$((100 << 10))
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${BUILD:-$repo/build-bench}

source "$here/machine.sh"
needs cmake xargs awk /usr/bin/time

make_work kzb-jbench
machine_lines "$work"
echo "command: $0 $* (RUNS=$RUNS JOBS=$JOBS)"
echo

echo "== build (Release, $build)"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target kzb make-workload >/dev/null
echo "source:  $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
kzb=$(realpath "$build/kzb")
echo

echo "== library: $CONTAINERS containers of $ENTRIES x $((ENTRY_SIZE >> 10)) KiB"
"$build/bench/make-workload" "$work/one" "$ENTRIES" "$ENTRY_SIZE"
mkdir "$work/lib"
for ((i = 0; i < CONTAINERS; i++)); do
  cp "$work/one/C.kzb" "$(printf '%s/lib/book%03d.kzb' "$work" "$i")"
done
rm -rf -- "$work/one"
(cd "$work/lib" && ls) >"$work/list"
sync

# One run of one variant of one command into a fresh directory, removed at once. Prints
# "<wall ns> <peak RSS KiB> <CPU ms>"; for xargs, the RSS is the largest of its kzb's.
run_once() {
  local command=$1 variant=$2 out rc start end
  out=$(mktemp -d "$work/out.XXXXXX")
  local -a args
  case $command in
    deflate) args=(convert --deflate -C "$out") ;;
    stored) args=(convert -C "$out") ;;
    extract) args=(extract --each -C "$out") ;;
    test) args=(test) ;;
  esac
  sync
  start=$(date +%s%N)
  case $variant in
    j1) (cd "$work/lib" && /usr/bin/time -v -o "$work/time.txt" \
      xargs -a "$work/list" "$kzb" "${args[@]}" -j 1 >/dev/null) && rc=0 || rc=$? ;;
    jN) (cd "$work/lib" && /usr/bin/time -v -o "$work/time.txt" \
      xargs -a "$work/list" "$kzb" "${args[@]}" -j "$JOBS" >/dev/null) && rc=0 || rc=$? ;;
    xargs) (cd "$work/lib" && /usr/bin/time -v -o "$work/time.txt" \
      xargs -a "$work/list" -P 2 -n 10 "$kzb" "${args[@]}" -j 1 >/dev/null) && rc=0 || rc=$? ;;
  esac
  end=$(date +%s%N)
  if ((rc != 0)); then
    echo "jobs.sh: $command $variant failed (exit $rc)" >&2
    exit 1
  fi
  if [[ ${VERIFY:-} == 1 && $command != test ]]; then
    local made
    made=$(find "$out" -type f | wc -l)
    local want=$CONTAINERS
    [[ $command == extract ]] && want=$((CONTAINERS * ENTRIES))
    ((made == want)) || { echo "jobs.sh: $command $variant left $made files" >&2; exit 1; }
  fi
  rm -rf -- "$out"
  echo "$((end - start)) $(time_fields "$work/time.txt")"
}

ms() { cut -d' ' -f1 "$1" | median | awk '{ printf "%.0f", $1 / 1e6 }'; }

variants=(j1 jN xargs)
for command in deflate stored extract test; do
  echo "== $command"
  for variant in "${variants[@]}"; do
    : >"$work/$command.$variant"
    VERIFY=1 run_once "$command" "$variant" >/dev/null  # warm-up, checked
  done
  for ((i = 0; i < RUNS; i++)); do
    if ((i % 2 == 0)); then order="j1 jN xargs"; else order="xargs jN j1"; fi
    for variant in $order; do
      run_once "$command" "$variant" >>"$work/$command.$variant"
    done
  done
  for variant in "${variants[@]}"; do
    echo "  $variant ms: $(cut -d' ' -f1 "$work/$command.$variant" | awk '{ printf "%.0f ", $1 / 1e6 }')"
  done
done
echo

echo "== results: wall ms (median of $RUNS), ratios, peak RSS KiB (max over the runs)"
printf '%-10s %8s %8s %8s %9s %10s %9s %9s %11s\n' command "-j 1" "-j $JOBS" "xargs" \
  "j1/j$JOBS" "xargs/j$JOBS" "RSS j1" "RSS j$JOBS" "RSS xargs"
for command in deflate stored extract test; do
  j1=$(ms "$work/$command.j1")
  jn=$(ms "$work/$command.jN")
  xa=$(ms "$work/$command.xargs")
  printf '%-10s %8s %8s %8s %9s %10s %9s %9s %11s\n' "$command" "$j1" "$jn" "$xa" \
    "$(awk -v a="$j1" -v b="$jn" 'BEGIN { printf "%.2f", a / b }')" \
    "$(awk -v a="$xa" -v b="$jn" 'BEGIN { printf "%.2f", a / b }')" \
    "$(cut -d' ' -f2 "$work/$command.j1" | max)" "$(cut -d' ' -f2 "$work/$command.jN" | max)" \
    "$(cut -d' ' -f2 "$work/$command.xargs" | max)"
done
