#!/usr/bin/env bash
# Installs the Debian package built from this tree, runs one backup exactly as the
# systemd unit would (its WorkingDirectory= and ExecStart=, for a schedule instance, within
# its capability bounding set and without new privileges) against kfs-devserver on
# 127.0.0.1, and removes the package: nothing it shipped may remain, the working folder's
# data must, and a purge takes that too, but keeps the application key aside and says
# where, and leaves no timer enable link behind.
#
# It writes to system paths, so it runs only
#   - when VARNO_PACKAGE_TEST=1, or
#   - when VARNO_PACKAGE_TEST is unset on a machine that looks like CI: root, dpkg and
#     cpack present, and no systemd as PID 1 (a container or a CI runner, not a desktop);
# and in either case only when no varno package is installed and /var/lib/varno does not
# exist, so nothing of an operator's is ever touched. VARNO_PACKAGE_TEST=0 always skips.
# Exit code 77 means skipped; the reason is printed.
set -euo pipefail
build=${1:?usage: package_test.sh BUILD_DIR}

skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

case "${VARNO_PACKAGE_TEST:-}" in
  0) skip "VARNO_PACKAGE_TEST=0" ;;
  1) asked=1 ;;
  *) asked=0 ;;
esac
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg > /dev/null && command -v cpack > /dev/null || skip "dpkg or cpack is missing"
if [ $asked -eq 0 ] && [ "$(cat /proc/1/comm 2> /dev/null || true)" = systemd ]; then
  skip "systemd runs this machine (not a CI runner); set VARNO_PACKAGE_TEST=1 to run it"
fi

# One run at a time on a machine (several checkouts may test at once).
exec 9> /tmp/varno-package-test.lock
flock -w 900 9 || fail "another package test holds the lock"
if dpkg-query -W -f='${Status}' varno 2> /dev/null | grep -q ' installed'; then
  skip "a varno package is installed on this machine"
fi
[ ! -e /var/lib/varno ] || skip "/var/lib/varno exists (the data of an earlier install)"

work=$(mktemp -d /tmp/varno-package-XXXXXX)
server_pid=""
installed=0
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2> /dev/null || true; fi
  wait 2> /dev/null || true
  if [ $installed -eq 1 ]; then dpkg --purge varno > /dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# dpkg waits for nobody: retry while another dpkg or apt holds its lock.
dpkg_do() {
  local i out
  for i in $(seq 60); do
    if out=$(dpkg "$@" 2>&1); then return 0; fi
    case "$out" in *lock*) sleep 2 ;; *) echo "$out" >&2; return 1 ;; esac
  done
  echo "$out" >&2
  return 1
}

echo "== build the package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" > "$work/cpack.out" 2>&1 ||
  { cat "$work/cpack.out"; fail "cpack"; }
deb=$(ls "$work"/pkg/varno_*.deb)
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' | sed 's| \./| /|' > "$work/contents"
version=$(dpkg-deb -f "$deb" Version)

echo "== install $(basename "$deb")"
installed=1
dpkg_do -i "$deb" || fail "dpkg -i"
for f in /usr/bin/varno-backup /usr/bin/varno-ctl /usr/bin/kfs-devserver; do
  [ -x "$f" ] || fail "$f is not installed"
done
dpkg -L varno | grep -q '^/usr/lib/.*/libvarno\.so$' || fail "libvarno.so is not installed"
for f in /var/lib/varno/etc/success_html.emt /lib/systemd/system/varno-backup@.service \
  /lib/systemd/system/varno-backup@.timer /usr/share/doc/varno/operating.md; do
  [ -f "$f" ] || fail "$f is not installed"
done
[ "$(stat -c %a /var/lib/varno)" = 750 ] || fail "/var/lib/varno is not 0750"
[ "$(stat -c %a /var/lib/varno/etc)" = 700 ] || fail "/var/lib/varno/etc is not 0700"
[ "$(/usr/bin/varno-ctl --version)" = "varno-ctl $version" ] || fail "varno-ctl --version"
/usr/bin/varno-ctl --help | grep -q 'varno-ctl run' || fail "varno-ctl --help"

echo "== one backup, as the unit runs it"
data="$work/data"
mkdir -p "$data/Documents/Old" "$data/Pictures"
head -c 200000 /dev/urandom > "$data/Pictures/a.raw"
# Only CAP_DAC_READ_SEARCH (or CAP_DAC_OVERRIDE) lets root read this one.
echo "nobody's" > "$data/Documents/private.txt"
chown 65534:65534 "$data/Documents/private.txt"
chmod 0000 "$data/Documents/private.txt"
seq 1 20000 > "$data/Documents/numbers.txt"
echo "old" > "$data/Documents/Old/letter.txt"
: > "$data/Documents/empty.txt"

/usr/bin/kfs-devserver --listen 127.0.0.1:0 --store "$work/store" > "$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do grep -q '^listening' "$work/server.out" 2> /dev/null && break; sleep 0.1; done
port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.out" | head -1)
[ -n "$port" ] || fail "kfs-devserver did not start: $(cat "$work/server.out")"

key=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
instance=job0000beef
cat > "$work/plain.txt" << EOS
# Varno Backup Schedule
UserId=1001
AccountId=1
Schedule=1
Dest=/1
name=Package test
enabled=1
acckey=$key
Src=D:\\
EOS
(
  cd /var/lib/varno
  echo "127.0.0.1:$port" > etc/hosts
  echo "D:=$data" > etc/drives
  /usr/bin/varno-ctl schedule check "$work/plain.txt"
  /usr/bin/varno-ctl kbs encrypt "$work/plain.txt" "$instance.kbs"
) || fail "schedule check or encrypt"
[ "$(stat -c %a /var/lib/varno/etc/varno.ak)" = 600 ] || fail "etc/varno.ak is not 0600"

unit=/lib/systemd/system/varno-backup@.service
workdir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
command=$(sed -n 's/^ExecStart=//p' "$unit" | sed "s/%I/$instance/g; s/%i/$instance/g")
[ -n "$workdir" ] && [ -n "$command" ] || fail "the unit has no WorkingDirectory= or ExecStart="
# The unit's capability bounding set and no new privileges, as systemd would apply them.
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr 'A-Z ' 'a-z\n' | sed -n 's/^cap_/+/p' | paste -sd,)
grep -qx 'NoNewPrivileges=yes' "$unit" || fail "the unit does not set NoNewPrivileges=yes"
[ -n "$caps" ] || fail "the unit has no CapabilityBoundingSet="
# Its own names for the mailslot and the board, so a demo or a test on this machine is not met.
namespace=".pkg$$"
rc=0
(cd "$workdir" && VARNO_IPC_NAMESPACE=$namespace \
  setpriv --bounding-set "-all,$caps" --inh-caps -all --no-new-privs $command) > "$work/run.out" 2>&1 || rc=$?
cat "$work/run.out"
[ $rc -eq 0 ] || fail "the unit's command exited $rc"
grep -q 'Backup job completed normally\.' "/var/lib/varno/$instance.kbs.log" || fail "the job did not complete"
if ls /dev/shm | grep -qF "$namespace"; then fail "the agent left shared memory behind"; fi

/usr/bin/kfs-devserver restore --store "$work/store" --dest 1 --account-key "$key" --to "$work/restored" > /dev/null
diff -r "$data" "$work/restored/1/D Drive" || fail "the restored tree differs"
kill "$server_pid"
wait "$server_pid" 2> /dev/null || true
server_pid=""

cp "/var/lib/varno/$instance.kbs.log" "$work/job.log"
cp /var/lib/varno/etc/varno.ak "$work/varno.ak"
# What `systemctl enable` leaves; purge must not leave it dangling.
wants=/etc/systemd/system/timers.target.wants
mkdir -p "$wants"
ln -sf /lib/systemd/system/varno-backup@.timer "$wants/varno-backup@$instance.timer"

echo "== remove"
dpkg_do -r varno || fail "dpkg -r"
left=$(awk '$1 !~ /^d/ { print $2 }' "$work/contents" | while read -r f; do
  if [ -e "$f" ] || [ -L "$f" ]; then echo "$f"; fi
done)
[ -z "$left" ] || fail "files of the package remain: $left"
for f in etc/varno.ak etc/hosts "$instance.kbs" "$instance.kbs.log" "$instance.fci" "$instance.kbs.ts" agent.log; do
  [ -e "/var/lib/varno/$f" ] || fail "the working folder lost $f"
done
dpkg --purge varno > "$work/purge.out" 2>&1 || { cat "$work/purge.out"; fail "dpkg --purge"; }
installed=0
kept=$(sed -n 's/^varno: kept the application key of the purged schedules as //p' "$work/purge.out")
[ -z "$kept" ] || trap 'cleanup; rm -f "$kept"' EXIT
[ ! -e /var/lib/varno ] || fail "purge left /var/lib/varno"
checks=(
  "the job enabled its backup privilege within the unit's capabilities|grep -q 'Successfully enabled SE_BACKUP_NAME privilege' '$work/job.log'"
  "the job enabled its restore privilege within the unit's capabilities|grep -q 'Successfully enabled SE_RESTORE_NAME privilege' '$work/job.log'"
  "the job enabled its security privilege within the unit's capabilities|grep -q 'Successfully enabled SE_SECURITY_NAME privilege' '$work/job.log'"
  "purge said where it kept the application key|[ -n '$kept' ]"
  "the kept key is the key every schedule was encrypted under, private|cmp -s '$work/varno.ak' '$kept' && [ \"\$(stat -c %a '$kept')\" = 600 ]"
  "purge removed the timer's enable link|[ ! -L '$wants/varno-backup@$instance.timer' ]"
)
for check in "${checks[@]}"; do
  bash -c "${check#*|}" || fail "${check%%|*}"
done
echo "== the package installed, ran a job and went away cleanly"
