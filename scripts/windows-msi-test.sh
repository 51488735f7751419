#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own: an older package goes in, one
# backup runs from the installed programs against the Linux kfs-devserver, the package of
# this build upgrades it (programs replaced, etc\ and the working folder kept) and refuses
# to be downgraded, a second backup runs from the upgraded programs and restores equal to
# the source, and the uninstall removes what was installed and nothing else.
#
# usage: windows-msi-test.sh PACKAGE.msi WINDOWS_BUILD [LINUX_BUILD]
#        (default $VARNO_LINUX_BUILD)
set -euo pipefail
usage="usage: windows-msi-test.sh PACKAGE.msi WINDOWS_BUILD [LINUX_BUILD]"
root=$(cd "$(dirname "$0")/.." && pwd)
msi=$(realpath "${1:?$usage}")
win=$(realpath "${2:?$usage}")
linux=$(realpath "${3:-${VARNO_LINUX_BUILD:?$usage}}")
server="$linux/tools/kfs-devserver/kfs-devserver"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win/CMakeCache.txt")
programs=("$win/agent/varno-backup.exe" "$win/tools/varno-ctl.exe" "$win/bridge/varno.dll")
for f in "$server" "${programs[@]}"; do
  [ -f "$f" ] || { echo "windows-msi: $f is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/varno-win-msi-XXXXXX)
export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY
wine=/usr/lib/wine/wine64
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "windows-msi: $*" >&2
  exit 1
}
start=$SECONDS
mkdir -p "$WINEPREFIX"
setsid wineserver -p </dev/null >/dev/null 2>&1
setsid $wine wineboot.exe </dev/null >/dev/null 2>&1 || true

programs_dir="$WINEPREFIX/drive_c/Program Files/Varno"
workdir="$WINEPREFIX/drive_c/ProgramData/Varno"
winpath() { echo "Z:${1//\//\\}"; }
msiexec() { $wine msiexec "$@" /qn </dev/null >>"$work/msiexec.out" 2>&1; }
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
# The versions Windows lists as installed Varno Backup products, one per line.
installed_versions() {
  $wine reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY/ { name = 0; version = "" }
    /DisplayName.*Varno Backup$/ { name = 1 }
    /DisplayVersion/ { version = $NF }
    /^$/ { if (name) print version; name = 0 }
    END { if (name) print version }'
}
# Every file below a folder, with its checksum, relative to it.
inventory() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }

# The older package: the same programs with bytes appended (they still run), so that the
# upgrade can be seen to replace them.
old="$work/old"
mkdir -p "$old"
for p in "${programs[@]}"; do
  cp "$p" "$old/" && printf 'older build\n' >>"$old/$(basename "$p")"
done
bash "$root/scripts/windows-package.sh" "$work/varno-0.0.1-x64.msi" 0.0.1 \
  "$old/varno-backup.exe" "$old/varno-ctl.exe" "$old/varno.dll" >/dev/null

msiexec /i "$(winpath "$work/varno-0.0.1-x64.msi")" /l*v "$(winpath "$work/install.log")" ||
  fail "the older package did not install"
# The working folder's access list is set by the system's icacls. Under Wine it changes
# nothing, and a failed start counts as success: only that the action ran is seen.
grep -a -q 'Action ended .*LockWorkFolder. Return value 1' "$work/install.log" ||
  fail "the access list of the working folder was not set: $(grep -a LockWorkFolder "$work/install.log")"
[ "$(installed_versions)" = 0.0.1 ] || fail "after the first install, installed: $(installed_versions)"
expected_programs="README.txt operating.md varno-backup.exe varno-ctl.exe varno-nightly.xml varno.dll"
[ "$(ls "$programs_dir" | sort | xargs)" = "$expected_programs" ] ||
  fail "Program Files\\Varno holds: $(ls "$programs_dir" | xargs)"
cmp -s "$old/varno-ctl.exe" "$programs_dir/varno-ctl.exe" || fail "varno-ctl.exe is not the package's"
for t in "$root"/etc/*.emt; do
  cmp -s "$t" "$workdir/etc/$(basename "$t")" || fail "etc\\$(basename "$t") is not installed"
done
# The guide's command registers the shipped task (Wine's parser reads it; it runs nothing).
task='Varno\job00000001'
$wine schtasks /Create /TN "$task" /XML "C:\Program Files\Varno\varno-nightly.xml" \
  </dev/null >"$work/schtasks.out" 2>&1 || fail "schtasks refused varno-nightly.xml: $(cat "$work/schtasks.out")"

# The source: text, binary, nested folders, a name with spaces.
data="$work/data"
mkdir -p "$data/Documents/Reports 2026" "$data/Pictures"
python3 - "$data" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(26)
for i in range(6):
    open(os.path.join(root, "Documents", f"note-{i}.txt"), "w").write("line %d\n" % i * 400)
open(os.path.join(root, "Documents", "Reports 2026", "q1.csv"), "w").write(
    "\n".join(f"{m},{random.randint(1, 99999)}" for m in range(3000)))
open(os.path.join(root, "Pictures", "big.raw"), "wb").write(random.randbytes(300000))
PY

mkdir -p "$work/store"
"$server" --listen 127.0.0.1:0 --store "$work/store" --no-sync >"$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 50); do grep -q '^listening' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.out" | head -1)
[ -n "$port" ] || fail "the server did not start: $(cat "$work/server.out")"

# The operator's part, as the guide says: etc\hosts and an encrypted schedule in the
# working folder, made with the installed varno-ctl.exe.
echo "127.0.0.1:$port" >"$workdir/etc/hosts"
key=$(python3 -c 'import hashlib; print(hashlib.sha256(b"varno windows installer").hexdigest())')
cat >"$work/plain.txt" <<EOF2
# Varno Backup Schedule
UserId=1001
AccountId=1
Schedule=1
Dest=/1
name=Installed programs
enabled=1
acckey=$key
mirror=1
html=0
Src=$(winpath "$data")\\
schedule_email=ops@example.invalid
EOF2
ctl="C:\\Program Files\\Varno\\varno-ctl.exe"
cd "$workdir"
$wine "$ctl" kbs encrypt "$(winpath "$work/plain.txt")" job00000001.kbs >"$work/ctl.out" 2>&1 ||
  fail "the installed varno-ctl.exe did not encrypt the schedule: $(tr -d '\r' <"$work/ctl.out")"

# One job through the installed varno-ctl.exe, which starts the varno-backup.exe beside it.
backup() {
  local status=0
  timeout 300 $wine "$ctl" run --wait job00000001.kbs </dev/null >"$work/run.out" 2>&1 || status=$?
  if [ $status -ne 0 ] || ! grep -q 'Backup job completed normally' job00000001.kbs.log; then
    echo "windows-msi: the $1 backup failed (varno-ctl.exe exit $status)" >&2
    tail -n 20 "$work/run.out" agent.log job00000001.kbs.log 2>/dev/null | tr -d '\r' >&2 || true
    exit 1
  fi
}
backup first

# Upgrade: this build's package replaces the programs; etc\ and the working folder stay.
echo "kept across the upgrade" >"$workdir/operator-notes.txt"
before=$(inventory "$workdir" | grep -v '\.emt$')
msiexec /i "$(winpath "$msi")" || fail "the upgrade did not install"
[ "$(installed_versions)" = "$version" ] || fail "after the upgrade, installed: $(installed_versions)"
for p in "${programs[@]}"; do
  cmp -s "$p" "$programs_dir/$(basename "$p")" || fail "the upgrade left the older $(basename "$p")"
done
[ "$(inventory "$workdir" | grep -v '\.emt$')" = "$before" ] ||
  fail "the upgrade changed the working folder: $(diff <(echo "$before") <(inventory "$workdir"))"
for t in "$root"/etc/*.emt; do
  cmp -s "$t" "$workdir/etc/$(basename "$t")" || fail "the upgrade lost etc\\$(basename "$t")"
done
if msiexec /i "$(winpath "$work/varno-0.0.1-x64.msi")"; then fail "the older package went in over the newer"; fi
[ "$(installed_versions)" = "$version" ] || fail "after the refused downgrade, installed: $(installed_versions)"
cmp -s "${programs[1]}" "$programs_dir/varno-ctl.exe" || fail "the refused downgrade replaced varno-ctl.exe"

# The second backup, from the upgraded programs, sends a changed file; the restore equals
# the source.
echo "changed after the upgrade" >>"$data/Documents/note-0.txt"
backup second
grep -q "FILE: Successfully backed up 'Z:.*note-0.txt'" job00000001.kbs.log ||
  fail "the second backup did not send the changed file"
"$server" restore --store "$work/store" --dest 1 --account-key "$key" --to "$work/restored" >/dev/null
restored=$(find "$work/restored" -type d -name 'Z Drive' | head -1)
[ -n "$restored" ] || fail "nothing was restored: $(find "$work/restored" -maxdepth 3 | xargs)"
diff -r "$data" "$restored$data" >"$work/diff.out" 2>&1 ||
  fail "the restored tree differs from the source: $(head -5 "$work/diff.out")"

$wine schtasks /Delete /TN "$task" /F </dev/null >"$work/schtasks.out" 2>&1 ||
  fail "schtasks did not delete the task: $(cat "$work/schtasks.out")"

# Uninstall: the programs, the read-me, the guide, the task and the templates go; what the
# operator and the agent wrote stays, unchanged.
cd "$work"
before=$(inventory "$workdir" | grep -v '\.emt$')
msiexec /x "$(winpath "$msi")" || fail "the uninstall failed"
[ -z "$(installed_versions)" ] || fail "after the uninstall, installed: $(installed_versions)"
[ ! -e "$programs_dir" ] || fail "the uninstall left Program Files\\Varno: $(ls "$programs_dir" | xargs)"
[ "$(inventory "$workdir")" = "$before" ] ||
  fail "the uninstall did not keep exactly the working folder's own files: $(diff <(echo "$before") <(inventory "$workdir"))"
for f in etc/hosts etc/varno.ak job00000001.kbs job00000001.kbs.log agent.log operator-notes.txt; do
  [ -f "$workdir/$f" ] || fail "the working folder lost $f"
done
echo "note: Wine's icacls changes nothing: the working folder's access list (SYSTEM and Administrators) is not checked"
echo "note: Wine's Task Scheduler keeps neither the task's trigger nor its command and runs nothing: the nightly run is not shown"
echo "windows-msi: installed, backed up, upgraded, restored equal and uninstalled under Wine in $((SECONDS - start)) s"
