# Sourced by the benchmarks: the lines that say what a figure was measured on.
#
#   machine_lines [DIR]    the cores, processor, kernel, load, and the file system DIR is on
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
