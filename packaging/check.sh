#!/usr/bin/env bash
# Makes the packages in build trees that are already built and checks each with the tools its
# users' systems run:
#
#   bash packaging/check.sh linux BUILD        the .deb and the static archive (Debian)
#   bash packaging/check.sh windows BUILD-WIN  the installer and the zip, under wine
#
# The .deb: lintian finds no error; unpacked with dpkg -x into a scratch root, with
# update-mime-database run there, gio names application/x-kzb for a container by its name and,
# under another name, by its first bytes; desktop-file-validate accepts the desktop entry, gio
# offers it for the type, and its command line extracts a container into a folder beside it;
# kzb-mount is in it, where the tree built it, with its manual and a dependency on fuse3;
# the bash completion, under each program's name, offers kzb's commands, each command's
# options as its --help lists them, and .kzb files; kzb-mount's options as its --help lists
# them, its views, a container then a folder; kzb-extract's one container. The archive: its programs are static and tell the project's version.
# The installer: installed silently into a fresh wine prefix, the registry holds the type, the
# verbs, the uninstaller and the PATH entry; each verb's command line, as registered, does its
# work on a container whose path holds spaces and Hangul, with no window; a damaged
# container's verb shows kzb's lines (read through kzb-verb's test hook); a silent uninstall
# leaves no file, key or PATH entry.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
platform=${1:?linux or windows}
build=$(realpath "${2:?the build tree}")
version=$(sed -n 's/^project(kzb-extract VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kzb-packages.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "packaging/check.sh: $*" >&2
  exit 1
}

# The sample container, whose first bytes are the root chunk's tag.
sample=$build/sample.kzb
[ -f "$sample" ] || fail "$sample is missing: build the tree first"

check_linux() {
  local deb="$build/kzb_${version}_amd64.deb"
  local tarball="$build/kzb-${version}-linux-x86_64.tar.gz"
  rm -f "$deb" "$tarball"
  cmake --build "$build" --target package 2>&1 >/dev/null | grep -v '^CPackDeb: ' || true
  [ -f "$deb" ] || fail "no $deb"
  [ -f "$tarball" ] || fail "no $tarball"
  ls -l "$deb" "$tarball"

  echo "== lintian"
  # Root is what CI runs as; lintian only warns about it.
  lintian --fail-on error --info "$deb" 2>&1 | grep -v '^running with root privileges' || true
  lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors on $deb"

  echo "== the type, the desktop entry and the programs, from dpkg -x"
  local root=$scratch/root
  dpkg -x "$deb" "$root"
  mkdir -p "$scratch/home" "$scratch/files"
  # As if installed there: gio takes a desktop entry only when its program is on the PATH.
  export XDG_DATA_DIRS=$root/usr/share XDG_DATA_HOME=$scratch/home/share PATH=$root/usr/bin:$PATH
  update-mime-database "$root/usr/share/mime"
  # kzb-mount, where the tree has it, with what it needs to mount.
  if [ -x "$build/kzb-mount" ]; then
    [ -x "$root/usr/bin/kzb-mount" ] || fail "the package lacks kzb-mount"
    [ -f "$root/usr/share/man/man1/kzb-mount.1.gz" ] || fail "the package lacks kzb-mount.1"
    dpkg-deb -f "$deb" Depends | grep -qw fuse3 || fail "the package does not depend on fuse3"
  fi
  update-desktop-database "$root/usr/share/applications"
  cp "$sample" "$scratch/files/moon.kzb"
  cp "$sample" "$scratch/files/moon.bin"
  printf 'KZB1 is no container' >"$scratch/files/other.bin"
  for file in moon.kzb moon.bin other.bin; do
    local type
    type=$(gio info -a standard::content-type "$scratch/files/$file" |
      sed -n 's/^ *standard::content-type: //p')
    echo "$file: $type"
    if [ "$file" = other.bin ]; then
      [ "$type" != application/x-kzb ] || fail "$file is taken for a container"
    else
      [ "$type" = application/x-kzb ] || fail "$file is $type, not application/x-kzb"
    fi
  done
  local desktop=$root/usr/share/applications/kzb-extract-folder.desktop
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
  local applications
  applications=$(gio mime application/x-kzb)
  grep -q 'kzb-extract-folder.desktop' <<<"$applications" ||
    fail "no application is registered for application/x-kzb: $applications"
  # The entry's command line, as a file manager runs it, on a path with spaces and Hangul.
  local folder="$scratch/files/내 책 a"
  mkdir -p "$folder"
  cp "$sample" "$folder/moon night.kzb"
  local exec
  exec=$(sed -n 's/^Exec=//p' "$desktop")
  [[ $exec == "kzb "*" %F" ]] || fail "unexpected Exec line: $exec"
  read -ra words <<<"${exec% %F}"
  (cd "$scratch/home" && "$root/usr/bin/${words[0]}" "${words[@]:1}" "$folder/moon night.kzb")
  [ -s "$folder/moon night/readme.txt" ] || fail "the desktop entry extracted nothing beside it"
  [ -z "$(ls -A "$scratch/home" | grep -v '^share$')" ] || fail "it wrote where it was started"
  [ "$("$root/usr/bin/kzb" --version)" = "kzb $version" ] || fail "kzb --version is not $version"
  [ "$("$root/usr/bin/kzb-extract" --version)" = "kzb-extract $version" ] ||
    fail "kzb-extract --version is not $version"
  for page in kzb kzb-extract; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | grep '^\.TH' >/dev/null || fail "no manual page $page"
  done
  unset XDG_DATA_DIRS XDG_DATA_HOME
  PATH=${PATH#"$root/usr/bin:"}

  echo "== the bash completion"
  local completions=$root/usr/share/bash-completion/completions
  for program in kzb-extract kzb-mount; do  # looked up by the program's name
    cmp -s "$completions/kzb" "$completions/$program" || fail "no completion for $program"
  done
  (cd "$scratch/files" && bash --norc --noprofile -c '
    set -u
    source /usr/share/bash-completion/bash_completion
    source "$1"
    bin=$2
    complete_line() {  # the words of a line ending in an empty word or a prefix
      COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
      local function
      function=$(complete -p "$1" | sed -E "s/.*-F ([^ ]+) .*/\1/")
      COMPREPLY=(); "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
      printf "%s\n" "${COMPREPLY[@]}" | sort
    }
    help_options() {  # the options a --help lists at the start of its lines
      "$@" --help | grep -oE "^  +(-[a-zA-Z]|--[a-z-]+)(, *--[a-z-]+)?" | tr , " "
    }
    kzb=$bin/kzb
    offered=$(complete_line kzb "")
    for command in info list extract test cat convert; do
      grep -qx "$command" <<<"$offered" || { echo "kzb <TAB> lacks $command"; exit 1; }
      offered_options=$(complete_line kzb "$command" -)
      for option in $(help_options "$kzb" "$command"); do
        grep -qx -- "$option" <<<"$offered_options" ||
          { echo "kzb $command -<TAB> lacks $option"; exit 1; }
      done
    done
    files=$(complete_line kzb list "")
    grep -qx "moon.kzb" <<<"$files" || { echo "kzb list <TAB> lacks moon.kzb"; exit 1; }
    ! grep -qx "other.bin" <<<"$files" || { echo "kzb list <TAB> offers other.bin"; exit 1; }
    echo "commands: $(echo $offered)"
    offered=$(complete_line kzb-mount -)
    for option in $(help_options "$bin/kzb-mount"); do
      grep -qx -- "$option" <<<"$offered" || { echo "kzb-mount -<TAB> lacks $option"; exit 1; }
    done
    [ "$(complete_line kzb-mount --as "")" = "$(printf "cbz\nepub\nfolders")" ] ||
      { echo "kzb-mount --as <TAB> offers other than the views"; exit 1; }
    grep -qx "moon.kzb" <<<"$(complete_line kzb-mount "")" ||
      { echo "kzb-mount <TAB> lacks moon.kzb"; exit 1; }
    ! grep -qx "moon.kzb" <<<"$(complete_line kzb-mount moon.kzb "")" ||
      { echo "kzb-mount SOURCE <TAB> offers a container as the mount point"; exit 1; }
    [ "$(complete_line kzb-extract -)" = "$(printf -- "--help\n--version")" ] ||
      { echo "kzb-extract -<TAB> offers other than --help and --version"; exit 1; }
    files=$(complete_line kzb-extract "")
    grep -qx "moon.kzb" <<<"$files" && ! grep -qx "other.bin" <<<"$files" ||
      { echo "kzb-extract <TAB> offers other than containers"; exit 1; }
    [ -z "$(complete_line kzb-extract moon.kzb "")" ] ||
      { echo "kzb-extract offers a second container"; exit 1; }
  ' check "$completions/kzb" "$root/usr/bin") || fail "the completion"

  echo "== the static archive"
  tar -xzf "$tarball" -C "$scratch"
  local unpacked=$scratch/kzb-${version}-linux-x86_64
  for file in kzb kzb-extract kzb.1 kzb-extract.1 README.md doc/using.md CHANGELOG.md LICENSE \
    THIRD-PARTY-NOTICES; do
    [ -f "$unpacked/$file" ] || fail "the archive lacks $file"
  done
  for program in kzb kzb-extract; do
    grep -q 'statically linked' <<<"$(file "$unpacked/$program")" || fail "$program is not static"
    [ "$("$unpacked/$program" --version)" = "$program $version" ] || fail "$program --version"
  done
}

check_windows() {
  local setup="$build/kzb-${version}-win64-setup.exe"
  local zip="$build/kzb-${version}-win64.zip"
  rm -f "$setup" "$zip"
  cmake --build "$build" --target package >/dev/null
  cmake --build "$build" --target kzb-run-verb >/dev/null
  [ -f "$setup" ] || fail "no $setup"
  [ -f "$zip" ] || fail "no $zip"
  ls -l "$setup" "$zip"

  echo "== the zip"
  local listing
  listing=$(unzip -Z1 "$zip")
  for file in bin/kzb.exe bin/kzb-extract.exe bin/kzb-verb.exe README.md doc/using.md LICENSE.txt \
    THIRD-PARTY-NOTICES.txt CHANGELOG.md; do
    grep -qx "kzb-${version}-win64/$file" <<<"$listing" || fail "the zip lacks $file"
  done
  # A GUI program: Windows opens no console for it.
  grep -q 'Subsystem.*(Windows GUI)' <<<"$(x86_64-w64-mingw32-objdump -p "$build/kzb-verb.exe")" ||
    fail "kzb-verb.exe is not a GUI program"
  # The type's icon is kzb-verb.exe's.
  grep -q ' \.rsrc ' <<<"$(x86_64-w64-mingw32-objdump -h "$build/kzb-verb.exe")" ||
    fail "kzb-verb.exe has no resources, so no icon"

  echo "== silent install into a fresh wine prefix"
  local wine wineserver
  wine=$(sed -n "s/^wine='\(.*\)'$/\1/p" "$build/wine-run")
  wineserver=$(sed -n "s/^wineserver='\(.*\)'$/\1/p" "$build/wine-run")
  export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
  "$wine" wineboot --init >/dev/null 2>&1
  "$wineserver" -w
  # A PATH of the user's own, which the uninstaller must leave as it was.
  local path_before='C:\kzb-check\tools;%USERPROFILE%\bin'
  "$wine" reg add 'HKCU\Environment' /v Path /t REG_EXPAND_SZ /d "$path_before" /f >/dev/null 2>&1
  [ "$(reg_value 'HKCU\Environment' Path)" = "$path_before" ] || fail "cannot set PATH for the check"
  local programs_folder_before=no
  [ ! -d "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Programs" ] || programs_folder_before=yes
  "$wine" "$setup" /S
  "$wineserver" -w
  local programs
  programs=$(reg_value 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\kzb' \
    InstallLocation) || fail "no uninstaller registered"
  local installed
  installed=$("$wine" winepath -u "$programs" 2>/dev/null)
  echo "installed into $programs"
  for file in bin/kzb.exe bin/kzb-extract.exe bin/kzb-verb.exe README.md LICENSE.txt \
    uninstall.exe; do
    [ -f "$installed/$file" ] || fail "the installer did not install $file"
  done
  echo "-- the keys it wrote"
  for key in 'HKCU\Software\Classes\.kzb' 'HKCU\Software\Classes\kzb.container' \
    'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\kzb'; do
    "$wine" reg query "$key" /s 2>/dev/null | tr -d '\r' | grep -v '^$'
  done
  echo "HKCU\\Environment Path: $(reg_value 'HKCU\Environment' Path)"
  [ "$(reg_value 'HKCU\Software\Classes\.kzb' '')" = kzb.container ] || fail "no .kzb type"
  [ -n "$(reg_value 'HKCU\Software\Classes\kzb.container\DefaultIcon' '')" ] || fail "no icon"
  tr ';' '\n' <<<"$(reg_value 'HKCU\Environment' Path)" | grep -xF "$programs\\bin" >/dev/null ||
    fail "PATH lacks $programs\\bin"

  echo "== each verb, as registered, on a path with spaces and Hangul"
  local shelf="$scratch/files/내 책 a"
  mkdir -p "$shelf"
  local window="$scratch/window.txt"
  export KZB_VERB_WINDOW_TEXT
  KZB_VERB_WINDOW_TEXT=$("$wine" winepath -w "$window" 2>/dev/null)
  local verb status
  for verb in extract-here extract-folder convert-cbz; do
    rm -rf "$shelf" && mkdir -p "$shelf" && cp "$sample" "$shelf/moon night.kzb"
    status=0
    "$wine" "$build/kzb-run-verb.exe" "$verb" \
      "$("$wine" winepath -w "$shelf/moon night.kzb" 2>/dev/null)" || status=$?
    [ "$status" = 0 ] || fail "$verb ended with $status"
    [ ! -e "$window" ] || fail "$verb showed a window: $(cat "$window")"
    case $verb in
      extract-here) [ -s "$shelf/readme.txt" ] || fail "$verb extracted nothing beside it" ;;
      extract-folder) [ -s "$shelf/moon night/readme.txt" ] || fail "$verb made no folder" ;;
      convert-cbz) unzip -tq "$shelf/moon night.cbz" >/dev/null || fail "$verb made no CBZ" ;;
    esac
    echo "$verb: $(cd "$shelf" && find . -mindepth 1 | sort | tr '\n' ' ')"
  done
  # A damaged container: its lines in the window that waits, and the exit status kept.
  rm -rf "$shelf" && mkdir -p "$shelf"
  head -c 600 "$sample" >"$shelf/broken moon.kzb"
  status=0
  "$wine" "$build/kzb-run-verb.exe" extract-here \
    "$("$wine" winepath -w "$shelf/broken moon.kzb" 2>/dev/null)" || status=$?
  [ "$status" = 1 ] || fail "the damaged container's verb ended with $status, not 1"
  [ -s "$window" ] || fail "the damaged container's verb showed nothing"
  echo "-- the window said:" && cat "$window" && echo
  grep -q 'truncated or malformed container' "$window" || fail "the window lacks kzb's line"
  grep -q 'exit status 1' "$window" || fail "the window lacks the exit status"
  unset KZB_VERB_WINDOW_TEXT

  echo "== silent uninstall"
  local uninstall
  uninstall=$(reg_value 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\kzb' \
    QuietUninstallString)
  [ "$uninstall" = "\"$programs\\uninstall.exe\" /S" ] || fail "QuietUninstallString: $uninstall"
  "$wine" "$installed/uninstall.exe" /S
  "$wineserver" -w
  [ ! -e "$installed" ] || fail "files are left: $(find "$installed")"
  for key in 'HKCU\Software\Classes\.kzb' 'HKCU\Software\Classes\kzb.container' \
    'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\kzb'; do
    ! "$wine" reg query "$key" >/dev/null 2>&1 || fail "$key is left"
  done
  [ "$(reg_value 'HKCU\Environment' Path || true)" = "$path_before" ] ||
    fail "PATH is not as it was: $(reg_value 'HKCU\Environment' Path)"
  if [ $programs_folder_before = no ] && [ -e "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Programs" ]; then
    fail "the user's Programs folder, made by the installer, is left"
  fi
  echo "nothing of kzb is left; PATH is again $path_before"
  "$wineserver" -k || true
}

# A registry value's data, from reg query (an empty NAME for the key's default value).
reg_value() {
  local output
  if [ -z "$2" ]; then
    output=$("$wine" reg query "$1" /ve 2>/dev/null) || return 1
  else
    output=$("$wine" reg query "$1" /v "$2" 2>/dev/null) || return 1
  fi
  output=$(tr -d '\r' <<<"$output" | sed -n 's/^ \{4\}.*  *REG_[A-Z_]*  *//p' | head -1)
  [ -n "$output" ] || return 1
  printf '%s\n' "$output"
}

case $platform in
  linux) check_linux ;;
  windows) check_windows ;;
  *) fail "the platform is linux or windows, not $platform" ;;
esac
echo "== packages checked: $platform"
