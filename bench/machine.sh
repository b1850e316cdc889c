# Sourced by the benchmarks: what each does before it measures, and the lines that say what a
# figure was measured on.
#
#   needs TOOL...          stops, naming the first TOOL that is not installed
#   make_work PREFIX       sets $work to a fresh folder under TMPDIR, removed on exit
#   machine_lines [DIR]    the cores, processor, kernel, load, and the file system DIR is on
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
