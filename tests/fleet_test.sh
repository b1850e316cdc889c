#!/usr/bin/env bash
# The recipe of doc/fleet.md, run for real: a library of 200 containers converted by GNU
# parallel on two workers reached through sshd on loopback, one worker killed while a kzb on it
# is writing, the run resumed from the job log; the CBZs must be exactly those that one machine
# writes, and nothing partial may ever show.
#
#   fleet_test.sh KZB MAKE_WORKLOAD IO_FAULTS_LIBRARY
#
# Exits 77 (skipped), saying why, where sshd, ssh, ssh-keygen or parallel is missing, or where
# sshd cannot run (it needs root here: both workers log in as root).
set -euo pipefail

skip() {
  echo "SKIPPED: $*"
  exit 77
}
[ -x /usr/sbin/sshd ] || skip "no /usr/sbin/sshd (Debian: openssh-server)"
if ! command -v ssh >/dev/null || ! command -v ssh-keygen >/dev/null; then
  skip "no ssh or ssh-keygen (Debian: openssh-client)"
fi
command -v parallel >/dev/null || skip "no GNU parallel (Debian: parallel)"
[ "$(id -u)" = 0 ] || skip "not root: the workers log in as root"
# sshd's privilege separation wants its directory.
mkdir -p /run/sshd 2>/dev/null || skip "cannot make /run/sshd"
kzb=$(realpath "$1")  # the workers run it from their home directory
make_workload=$(realpath "$2")
io_faults=$(realpath "$3")  # slows w2's reads in the first run (below)

t=$(mktemp -d)
pids=()  # the sshd and parallel this test started
descendants() {  # PID [COMMAND]: every process under PID, or those of them running COMMAND
  ps -eo pid=,ppid=,comm= | awk -v root="$1" -v only="${2:-}" '
    { parent[$1] = $2; name[$1] = $3 }
    END {
      for (pid in parent) {
        for (p = parent[pid]; p != "" && p != 0 && p != root; p = parent[p]) {}
        if (p == root && (only == "" || name[pid] == only)) print pid
      }
    }'
}
stop_all() {
  for pid in "${pids[@]}"; do
    mapfile -t under < <(descendants "$pid")
    kill -KILL "$pid" "${under[@]}" 2>/dev/null || true
  done
  rm -rf "$t"
}
trap stop_all EXIT

fail() {
  echo "FAILED: $*"
  exit 1
}

# Keys and configuration, all in $t: the user's key, one host key per worker.
ssh-keygen -q -t ed25519 -N '' -f "$t/user_key"
cp "$t/user_key.pub" "$t/authorized_keys"
free_port() {  # a port nothing listens on, and not the one given
  local port
  while :; do
    port=$((20000 + RANDOM % 30000))
    [ "$port" != "${1:-}" ] && ! ss -ltnH "sport = :$port" 2>/dev/null | grep -q . && break
  done
  echo "$port"
}
port_w1=$(free_port)
port_w2=$(free_port "$port_w1")
cat >"$t/ssh_config" <<EOF
Host w1
  Port $port_w1
Host w2
  Port $port_w2
Host *
  HostName 127.0.0.1
  User root
  IdentityFile $t/user_key
  IdentitiesOnly yes
  UserKnownHostsFile $t/known_hosts
  StrictHostKeyChecking yes
  BatchMode yes
  ConnectTimeout 10
  ServerAliveInterval 5
  ServerAliveCountMax 3
  LogLevel ERROR
EOF
for w in w1 w2; do
  port_var=port_$w
  ssh-keygen -q -t ed25519 -N '' -f "$t/$w.host_key"
  echo "[127.0.0.1]:${!port_var} $(cat "$t/$w.host_key.pub")" >>"$t/known_hosts"
  cat >"$t/$w.sshd_config" <<EOF
ListenAddress 127.0.0.1
Port ${!port_var}
HostKey $t/$w.host_key
AuthorizedKeysFile $t/authorized_keys
PidFile $t/$w.pid
StrictModes no
UsePAM no
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
MaxStartups 100
SetEnv HOME=$t/home
EOF
done
# The workers' shells start in a home of the test's own: the machine's dotfiles (a shell
# startup that takes a lock, say, left behind by a session killed before) are not the test's.
mkdir "$t/home"
# In the first run, every read of w2's kzb first sleeps a tenth of a second, so that it is
# always found with a CBZ half-written when it is killed, however fast the machine. The
# worker that comes back for the resumed run reads at full speed.
cp "$t/w2.sshd_config" "$t/w2.sshd_config.plain"
sed -i "s|^SetEnv .*|& LD_PRELOAD=$io_faults KZB_FAULT_READ_DELAY_US=100000|" "$t/w2.sshd_config"
start_worker() {  # NAME: its sshd, in the foreground of a background job of this shell
  local name=$1
  # From a subshell, so that this shell does not report it when it is killed.
  (/usr/sbin/sshd -f "$t/$name.sshd_config" -D -e 2>>"$t/$name.sshd_log" &
    echo $! >"$t/$name.sshd")
  pids+=("$(cat "$t/$name.sshd")")
  for _ in $(seq 100); do
    ssh -F "$t/ssh_config" "$name" true 2>/dev/null && return
    kill -0 "$(cat "$t/$name.sshd")" 2>/dev/null ||
      fail "the sshd of $name ended: $(cat "$t/$name.sshd_log")"
    sleep 0.1
  done
  fail "cannot log in to $name: $(cat "$t/$name.sshd_log")"
}
start_worker w1
start_worker w2

# The library: 200 containers in one shared folder, names with spaces and Hangul among them:
# 25 different ones of 3 to 6 pseudo-random files, each written under 8 names (by one tee, as
# a process a container costs more than the whole conversion on a loaded machine).
lib=$t/library
mkdir -p "$lib"
for i in $(seq 0 24); do
  "$make_workload" "$t/work" $((3 + i % 4)) $((20000 + 811 * i)) >/dev/null ||
    fail "make-workload"
  names=()
  for k in $(seq $((8 * i + 1)) $((8 * i + 8))); do
    if ((k % 7 == 0)); then
      printf -v name '\xed\x95\x9c\xea\xb8\x80 %03d' "$k"
    else
      printf -v name 'book %03d' "$k"
    fi
    names+=("$lib/$name.kzb")
  done
  tee "${names[@]}" <"$t/work/C.kzb" >/dev/null
  rm -rf "$t/work"
done
find "$lib" -name '*.kzb' -print0 | sort -z >"$t/list"

# What one machine writes.
mkdir "$t/reference"
"$kzb" convert --deflate -j 2 -C "$t/reference" --files-from "$t/list" --null ||
  fail "the one-machine conversion"

# The recipe of doc/fleet.md: twenty containers a job, two jobs at once on each worker.
convert_on_fleet() {  # extra options of parallel
  parallel --will-cite --ssh "ssh -F $t/ssh_config" --sshlogin 2/w1,2/w2 \
    --joblog "$t/jobs.log" -0 -a "$t/list" -N 20 "$@" \
    "$kzb" convert --beside --deflate -j 1
}

convert_on_fleet >"$t/run1.out" 2>&1 &
fleet=$!
pids+=("$fleet")

# Worker w2 dies while one of its kzb processes has a CBZ half-written: the kzb is stopped
# with an unnamed temporary open in the library, the containers of its job that have no CBZ
# yet are noted, and the whole worker (sshd and every process under it) is killed.
w2_sshd=$(cat "$t/w2.sshd")
caught=
deadline=$((SECONDS + 120))
while [ -z "$caught" ] && ((SECONDS < deadline)) && kill -0 "$fleet" 2>/dev/null; do
  for pid in $(descendants "$w2_sshd" kzb); do
    kill -STOP "$pid" 2>/dev/null || continue
    # An unnamed temporary (O_TMPFILE) shows as "#INODE (deleted)", a named one by its name.
    for fd in "/proc/$pid/fd"/*; do
      link=$(readlink "$fd" 2>/dev/null) || continue
      if [[ $link == "$lib/#"*" (deleted)" || $link == "$lib/.kzb-"* ]]; then
        caught=$pid
        break 2
      fi
    done
    kill -CONT "$pid" 2>/dev/null || true
  done
done
[ -n "$caught" ] || fail "no kzb on w2 was found mid-write, slowed as it is"
: >"$t/in_flight"
while IFS= read -r -d '' arg; do
  case $arg in
    *.kzb) [ -e "${arg%.kzb}.cbz" ] || printf '%s\n' "${arg%.kzb}.cbz" >>"$t/in_flight" ;;
  esac
done <"/proc/$caught/cmdline"
[ -s "$t/in_flight" ] || fail "the caught kzb had nothing left to write"
mapfile -t under < <(descendants "$w2_sshd")
kill -KILL "$w2_sshd" "${under[@]}" 2>/dev/null || true

status=0
wait "$fleet" || status=$?
[ "$status" != 0 ] || fail "parallel saw no failed job though w2 was killed"
awk -F'\t' 'NR > 1 && $7 != 0 { found = 1 } END { exit !found }' "$t/jobs.log" ||
  fail "the job log has no failed job"

# After the kill: every CBZ that shows is complete, the ones being written are absent, and no
# temporary is left.
check_no_partial() {
  local other
  other=$(find "$lib" -mindepth 1 ! -name '*.kzb' ! -name '*.cbz' | head -1)
  [ -z "$other" ] || fail "a temporary or another file was left: $other"
  local cbz
  while IFS= read -r -d '' cbz; do
    cmp -s "$cbz" "$t/reference/${cbz##*/}" || fail "${cbz##*/} differs from one machine's"
  done < <(find "$lib" -name '*.cbz' -print0)
}
check_no_partial
while IFS= read -r cbz; do
  [ ! -e "$cbz" ] || fail "${cbz##*/}, being written when w2 died, shows"
done <"$t/in_flight"
done_before=$(find "$lib" -name '*.cbz' | wc -l)
((done_before < 200)) || fail "all 200 were written before w2 died"

# w2 comes back; the run resumes from the job log, running again only the jobs that failed.
cp "$t/w2.sshd_config.plain" "$t/w2.sshd_config"
start_worker w2
convert_on_fleet --resume-failed >"$t/run2.out" 2>&1 || fail "the resumed run: $(cat "$t/run2.out")"

# Each job worked in the end, and those that had worked were not run again.
awk -F'\t' 'NR > 1 { runs[$1]++; if ($7 == 0) worked[$1]++; if (runs[$1] > 1 && worked[$1] > 1) bad = 1 }
  END { for (seq = 1; seq <= 10; seq++) if (worked[seq] != 1) bad = 1; exit bad }' "$t/jobs.log" ||
  fail "the job log after resuming: $(cat "$t/jobs.log")"
check_no_partial
diff <(find "$t/reference" -type f -printf '%f\n' | sort) \
  <(find "$lib" -name '*.cbz' -printf '%f\n' | sort) ||
  fail "the fleet wrote other CBZs than one machine"
echo "ok: $done_before of 200 written when w2 died, the rest on resuming; all equal to one machine's"
