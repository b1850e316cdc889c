# Sourced by the benchmarks: what each does before it measures, and the lines that say what a
# figure was measured on.
#
#   needs TOOL...          stops, naming the first TOOL that is not installed
#   make_work PREFIX       sets $work to a fresh folder under TMPDIR, removed on exit
#   machine_lines [DIR]    the cores, processor, kernel, load, and the file system DIR is on
#   time_fields FILE       "RSS_KIB CPU_MS" from the report of GNU time -v in FILE
#   median, max            of the numbers on standard input, one a line
needs() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$(basename "$0"): needs $tool" >&2; exit 1; }
  done
}

# The sync writes back the inode tables the removal dirtied, so that the next run does not pay
# for them.
make_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  trap 'rm -rf -- "$work"; sync -f "$(dirname "$work")" 2>/dev/null || true' EXIT
  trap 'exit 130' INT TERM HUP
}

machine_lines() {
  echo "== machine"
  echo "nproc:   $(nproc)"
  echo "cpu:     $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
  echo "kernel:  $(uname -srm)"
  echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"
  if [ $# -gt 0 ]; then
    echo "fs:      $(df -PT "$1" | awk 'NR == 2 { print $2 " on " $1 }') ($1)"
  fi
}

time_fields() {
  awk -F': ' '/Maximum resident set size/ { rss = $2 }
    /(User|System) time \(seconds\)/ { cpu += $2 } END { printf "%d %.0f", rss, cpu * 1000 }' "$1"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
max() { sort -n | tail -n1; }
