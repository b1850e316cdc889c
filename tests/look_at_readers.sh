#!/bin/bash
# Shows a person how e-book readers lay out the EPUBs kzb convert writes: a book of numbered
# pages bound right to left, and the same bound left to right, opened in foliate and in
# calibre's viewer on a virtual screen of 1600x1000, each page turn photographed. No program
# can judge the pictures (is page 1 alone, do 3|2 pair as a printed book's?), so this is no
# CTest test: run it, then look at OUT/*.png, one row of pictures per reader and book.
#
#   tests/look_at_readers.sh [BUILD [OUT]]     (BUILD: a built tree, default ./build)
#
# Needs Xvfb, openbox (a reader gets no keyboard focus without a window manager), xdotool,
# ImageMagick, foliate and calibre; each reader starts with a home of its own, so nothing a
# reader remembers from earlier runs (a page, a window size) changes what it shows.
set -euo pipefail

build=$(realpath "${1:-build}")
out=$(realpath -m "${2:-look}")
for tool in Xvfb openbox xdotool import convert foliate ebook-viewer dbus-run-session; do
  command -v "$tool" >/dev/null || { echo "look_at_readers: $tool is missing" >&2; exit 77; }
done
mkdir -p "$out"
work=$(mktemp -d)
trap 'jobs -p | xargs -r kill 2>/dev/null || true; rm -rf "$work"' EXIT

for direction in rtl ltr; do
  "$build/examples/make-sample" --numbered 6 "$direction" "$work/$direction.kzb"
  "$build/kzb" convert --to epub "$work/$direction.kzb" -o "$work/$direction.epub"
done

# look NAME BOOK KEY COMMAND...: runs COMMAND (a reader opening BOOK) on a screen of its own,
# photographs it once it has drawn, then after each of three presses of KEY.
look() {
  local name=$1 book=$2 key=$3
  shift 3
  local home=$work/home-$name
  mkdir -p "$home"
  Xvfb :97 -screen 0 1600x1000x24 >/dev/null 2>&1 &
  local screen=$!
  sleep 1
  (
    export DISPLAY=:97 HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
      XDG_CACHE_HOME=$home/.cache CALIBRE_CONFIG_DIRECTORY=$home/calibre
    openbox >/dev/null 2>&1 &
    # A session of its own, so that the daemons the reader's bus starts (portals, the
    # document portal's FUSE mount) end with it.
    setsid dbus-run-session -- "$@" "$book" >"$out/$name.log" 2>&1 &
    local session=$!
    local window=""
    for _ in $(seq 60); do
      window=$(xdotool search --onlyvisible --name "Numbered pages" 2>/dev/null | tail -n1) && break
      sleep 1
    done
    [ -n "$window" ] || { echo "look_at_readers: $name showed no window" >&2; exit 1; }
    sleep 15  # the reader lays the book out
    xdotool windowactivate --sync "$window" windowsize "$window" 1600 1000 windowmove "$window" 0 0
    xdotool mousemove 800 500 key shift  # calibre's first-run notice waits for a key
    sleep 3
    for turn in 0 1 2 3; do
      if ((turn > 0)); then
        xdotool key "$key"
        sleep 3
      fi
      import -window root "$work/$name-$turn.png"
    done
    pkill -s "$session" || true
    jobs -p | xargs -r kill 2>/dev/null || true
  )
  awk -v home="$home" '$3 == "fuse.portal" && index($2, home) == 1 { print $2 }' /proc/mounts |
    while read -r mount; do umount -l "$mount" 2>/dev/null || true; done
  kill "$screen"
  wait "$screen" 2>/dev/null || true
  convert "$work/$name"-[0-3].png -resize 25% +append "$out/$name.png"
  echo "$out/$name.png: $name, as opened, then after each of three presses of $key"
}

# foliate takes its window's size from its settings; calibre's viewer from the window manager.
open_in_foliate() {
  gsettings set com.github.johnfactotum.Foliate.window-state width 1600
  gsettings set com.github.johnfactotum.Foliate.window-state height 1000
  exec foliate "$@"
}
export -f open_in_foliate
export QTWEBENGINE_CHROMIUM_FLAGS=--no-sandbox  # calibre's viewer, run as root

# shellcheck disable=SC2016 # the book's path is the inner shell's $0
look foliate-rtl "$work/rtl.epub" Left bash -c 'open_in_foliate "$0"'
# shellcheck disable=SC2016
look foliate-ltr "$work/ltr.epub" Right bash -c 'open_in_foliate "$0"'
look calibre-rtl-left "$work/rtl.epub" Left ebook-viewer
look calibre-rtl-right "$work/rtl.epub" Right ebook-viewer
