#!/usr/bin/env bash
# Times reading every page of a library through kzb-mount (--as cbz and --as folders) against
# fuse-zip and archivemount mounting the CBZ files `kzb convert` wrote of the same containers,
# and against reading those CBZ files directly (and, beside the folders view, the folders
# `kzb extract --each` wrote of them); then the mount time and peak memory of
# kzb-mount over a library of 10,000 containers, and its memory in each view (folders, cbz,
# epub) over 8 containers of 200,000 entries each: its peak (the cache's bound in bytes, and a
# container's parse), the peak of listing their folder alone, and what it still holds at the
# end of a walk, while the kernel holds every name the walk looked at. As root, on a fresh ext4
# made on a loop file
# (never the machine's own file system), which the script makes, mounts and removes itself.
#
#   bench/mount.sh    (RUNS=N timed runs per tool, default 3; BUILD=DIR an existing tree to
#                      build kzb and kzb-mount in, as it is configured, default build-bench,
#                      made Release; IMAGE_DIR=DIR where the loop file goes, default /tmp;
#                      SKIP_PEERS=1 times kzb-mount and the direct read only; MEMORY_ONLY=1
#                      runs the last section alone, the peak memory over 8 containers of 200,000
#                      entries; PRICE_OPEN_FILES=1 also times, in (a) and (b), kzb-mount built
#                      from HEAD with bench/reads-by-number.patch applied: the kernel sends no
#                      open or release, and every read finds its file by number again, as the
#                      mount did before an open file kept the container it was opened on)
#
# Then the first listing of (a) through each view: what a library app's scan waits for.
#
# Workloads: (a) 200 containers of 40 pages of 100 KiB; (b) one container of 256 pages of
# 2 MiB. "Reading every page" is bench/read-tree (every file to its end, as cat does, with one
# buffer: read_tree.cpp says why not cat) over every file the mount shows for the folders
# view, fuse-zip and archivemount (one mount per CBZ for those two, as they mount one archive
# each; their mount and unmount are in the time), and over the CBZ files for the CBZ view and
# the direct read. The page cache is dropped before every run, so every run reads from the disk.
# Runs alternate between the tools; the table shows medians. Everything printed is measured on
# this run.
set -euo pipefail

RUNS=${RUNS:-3}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/.." && pwd)
build=${BUILD:-$repo/build-bench}

[ "$(id -u)" = 0 ] || { echo "mount.sh: needs root (loop device, mounts, drop_caches)" >&2; exit 1; }
needed=(cmake fusermount3 mkfs.ext4 losetup awk)
[ -n "${SKIP_PEERS:-}" ] || needed+=(fuse-zip archivemount)
[ -z "${PRICE_OPEN_FILES:-}" ] || needed+=(git patch)
for tool in "${needed[@]}"; do
  command -v "$tool" >/dev/null || { echo "mount.sh: needs $tool" >&2; exit 1; }
done

image_dir=$(mktemp -d "${IMAGE_DIR:-/tmp}/kzb-mbench.XXXXXX")
fs="$image_dir/fs"
mounts=()
cleanup() {
  for point in "${mounts[@]}"; do
    fusermount3 -u "$point" 2>/dev/null || true
  done
  umount "$fs" 2>/dev/null || true
  rm -rf -- "$image_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

source "$here/machine.sh"
machine_lines
echo "peers:   fuse-zip $(dpkg-query -W -f='${Version}' fuse-zip 2>/dev/null)," \
  "archivemount $(dpkg-query -W -f='${Version}' archivemount 2>/dev/null)"

echo "== build ($build)"
# A tree given with BUILD keeps its own build type; build-bench is made Release.
if [ -z "${BUILD:-}" ] || [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
echo "type:    $(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")"
cmake --build "$build" -j 2 --target kzb kzb-mount make-workload make-many-entries read-tree >/dev/null
# What one parse costs, without FUSE (parse_memory.cpp); a tree of before it has none.
cmake --build "$build" -j 2 --target parse-memory >/dev/null 2>&1 || true
kzb="$build/kzb"
mount_bin="$build/kzb-mount"
if [ -n "${PRICE_OPEN_FILES:-}" ]; then
  # What keeping open files costs: the same mount without them (reads-by-number.patch says how).
  priced="$image_dir/reads-by-number"
  mkdir -p "$priced"
  git -C "$repo" archive HEAD | tar -x -C "$priced"
  patch -s -d "$priced" -p1 <"$here/reads-by-number.patch"
  cmake -S "$priced" -B "$priced/build" -DCMAKE_BUILD_TYPE=Release -DKZB_BUILD_TESTS=OFF >/dev/null
  cmake --build "$priced/build" -j 2 --target kzb-mount >/dev/null
  echo "priced:  kzb-mount of HEAD ($(git -C "$repo" rev-parse --short HEAD)) reading by number"
fi

echo "== file system: a fresh ext4 on a 6 GiB loop file"
truncate -s 6G "$image_dir/ext4.img"
mkfs.ext4 -q -E lazy_itable_init=0,lazy_journal_init=0 "$image_dir/ext4.img"
mkdir -p "$fs"
mount -o loop "$image_dir/ext4.img" "$fs"
echo "fs:      $(df -PT "$fs" | awk 'NR == 2 { print $2 " on " $1 }')"

drop() {
  sync
  echo 3 >/proc/sys/vm/drop_caches
}
readTree() {
  "$build/bench/read-tree" "$1" >/dev/null
}
point="$image_dir/mnt"
mkdir -p "$point"
mounts+=("$point")

if [ -z "${MEMORY_ONLY:-}" ]; then
echo "== workloads"
"$build/bench/make-workload" "$fs/w-small" 40 102400
"$build/bench/make-workload" "$fs/w-big" 256 2097152
mkdir -p "$fs/a/kzb" "$fs/a/cbz" "$fs/a/folders" "$fs/b/kzb" "$fs/b/cbz" "$fs/b/folders"
for i in $(seq -w 1 200); do
  cp "$fs/w-small/C.kzb" "$fs/a/kzb/book-$i.kzb"
done
cp "$fs/w-big/C.kzb" "$fs/b/kzb/big.kzb"
rm -rf "$fs/w-small" "$fs/w-big"
for w in a b; do
  (cd "$fs/$w/cbz" && "$kzb" convert "$fs/$w"/kzb/*.kzb 2>/dev/null) || true
  (cd "$fs/$w/folders" && "$kzb" extract --each "$fs/$w"/kzb/*.kzb >/dev/null 2>&1) || true
done
echo "(a) $(ls "$fs/a/kzb" | wc -l) containers, $(du -sm "$fs/a/kzb" | cut -f1) MiB;" \
  "(b) $(du -sm "$fs/b/kzb" | cut -f1) MiB"
sync

run_kzb_mount() {  # VIEW WORKLOAD [BINARY]
  "${3:-$mount_bin}" "$fs/$2/kzb" "$point" --as "$1"
  readTree "$point"
  fusermount3 -u "$point"
}
run_peer() {  # fuse-zip|archivemount WORKLOAD
  local cbz
  for cbz in "$fs/$2"/cbz/*.cbz; do
    if [ "$1" = fuse-zip ]; then fuse-zip -r "$cbz" "$point"; else archivemount -o readonly "$cbz" "$point"; fi
    readTree "$point"
    fusermount3 -u "$point"
  done
}
run_direct() {  # cbz|folders WORKLOAD
  readTree "$fs/$2/$1"
}

tools=("kzb-mount --as cbz" "kzb-mount --as folders" "fuse-zip" "archivemount" "direct"
  "direct, extracted folders")
if [ -n "${SKIP_PEERS:-}" ]; then
  tools=("kzb-mount --as cbz" "kzb-mount --as folders" "direct" "direct, extracted folders")
fi
if [ -n "${PRICE_OPEN_FILES:-}" ]; then
  tools+=("cbz, reads by number" "folders, reads by number")
fi
run_tool() {  # TOOL WORKLOAD
  case "$1" in
    "kzb-mount --as cbz") run_kzb_mount cbz "$2" ;;
    "kzb-mount --as folders") run_kzb_mount folders "$2" ;;
    "cbz, reads by number") run_kzb_mount cbz "$2" "$priced/build/kzb-mount" ;;
    "folders, reads by number") run_kzb_mount folders "$2" "$priced/build/kzb-mount" ;;
    fuse-zip | archivemount) run_peer "$1" "$2" ;;
    direct) run_direct cbz "$2" ;;
    "direct, extracted folders") run_direct folders "$2" ;;
  esac
}

for w in a b; do
  echo "== workload ($w): seconds to read every page, page cache dropped (median of $RUNS)"
  declare -A times=()
  for ((run = 0; run < RUNS; run++)); do
    for tool in "${tools[@]}"; do
      drop
      start=$(date +%s.%N)
      run_tool "$tool" "$w"
      end=$(date +%s.%N)
      times[$tool]+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') "
    done
  done
  direct=$(tr ' ' '\n' <<<"${times[direct]}" | grep . | median)
  for tool in "${tools[@]}"; do
    m=$(tr ' ' '\n' <<<"${times[$tool]}" | grep . | median)
    printf '%-26s %8.3f s  %5.2fx direct   (runs: %s)\n' "$tool" "$m" \
      "$(awk -v m="$m" -v d="$direct" 'BEGIN { print m / d }')" "${times[$tool]}"
  done
  unset times
done

echo "== workload (a): seconds to the first listing (ls -lR of the mount), page cache dropped (median of $RUNS)"
for view in cbz folders; do
  listed=""
  for ((run = 0; run < RUNS; run++)); do
    drop
    "$mount_bin" "$fs/a/kzb" "$point" --as "$view"
    start=$(date +%s.%N)
    ls -lR "$point" >/dev/null
    end=$(date +%s.%N)
    fusermount3 -u "$point"
    listed+="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') "
  done
  printf 'kzb-mount --as %-11s %8.3f s   (runs: %s)\n' "$view" \
    "$(tr ' ' '\n' <<<"$listed" | grep . | median)" "$listed"
done

echo "== 10,000 containers (4 pages of 1 KiB each): mount, list every file, peak memory"
"$build/bench/make-workload" "$fs/w-tiny" 4 1024
mkdir -p "$fs/c"
for i in $(seq -w 1 10000); do
  cp "$fs/w-tiny/C.kzb" "$fs/c/book-$i.kzb"
done
for view in folders cbz; do
  drop
  start=$(date +%s.%N)
  "$mount_bin" "$fs/c" "$point" --as "$view" -f 2>/dev/null &
  pid=$!
  until mountpoint -q "$point"; do sleep 0.01; done
  ready=$(date +%s.%N)
  files=$(find "$point" -type f | wc -l)
  ls -lR "$point" >/dev/null
  listed=$(date +%s.%N)
  hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")
  fusermount3 -u "$point"
  wait "$pid"
  awk -v v="$view" -v s="$start" -v r="$ready" -v l="$listed" -v f="$files" -v h="$hwm" \
    'BEGIN { printf "--as %-8s mount ready %.3f s; %d files listed with find and ls -lR in %.3f s; peak RSS %.1f MiB\n", v, r - s, f, l - r, h / 1024 }'
done

fi

echo "== 8 containers of 200,000 entries: memory (RSS) of each view, default --cache-size"
"$build/bench/make-many-entries" "$fs/many.kzb" 200000
mkdir -p "$fs/d"
for i in 1 2 3 4 5 6 7 8; do
  cp "$fs/many.kzb" "$fs/d/many-$i.kzb"
done
rm -f "$fs/many.kzb"
if [ -x "$build/bench/parse-memory" ]; then
  for view in folders cbz epub; do
    "$build/bench/parse-memory" "$fs/d/many-1.kzb" "$view" read
  done
fi
# Listing the folder parses every container once; the walk then looks at each of their 1.6
# million names (the books' views: reads each book whole too), which the kernel holds until
# the unmount unless memory runs short. What kzb-mount holds at the end is told beside its
# peaks.
for view in folders cbz epub; do
  for walk in "find -type f" "ls -lR"; do
    drop
    "$mount_bin" "$fs/d" "$point" --as "$view" -f 2>/dev/null &
    pid=$!
    until mountpoint -q "$point"; do sleep 0.01; done
    ls "$point" >/dev/null
    listed=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")
    if [ "$walk" = "find -type f" ]; then
      find "$point" -type f >/dev/null
    else
      ls -lR "$point" >/dev/null
    fi
    walked=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")
    read=""
    if [ "$view" != folders ]; then
      readTree "$point"
      read=$(awk -v h="$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")" \
        'BEGIN { printf "; %.1f MiB once every book is read whole", h / 1024 }')
    fi
    held=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status")
    fusermount3 -u "$point"
    wait "$pid"
    awk -v v="$view" -v w="$walk" -v h="$walked" -v l="$listed" -v r="$held" -v t="$read" \
      'BEGIN { printf "--as %-8s %-13s peak RSS %.1f MiB after the walk (listing the folder alone %.1f MiB)%s; %.1f MiB resident at the end\n", v, w, h / 1024, l / 1024, t, r / 1024 }'
  done
done
