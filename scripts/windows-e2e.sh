#!/usr/bin/env bash
# One real backup by the Windows agent: varno-backup.exe runs under Wine against the Linux
# kfs-devserver on 127.0.0.1; the server restores what it stored and the tree must equal
# the source byte for byte. The schedule is encrypted by the Linux varno-ctl (the
# application key file is shared through the working folder). Wine maps Z: to "/".
#
# usage: windows-e2e.sh WINDOWS_BUILD [LINUX_BUILD]   (default $VARNO_LINUX_BUILD; WINEPREFIX
#        set by the caller)
set -euo pipefail
usage="usage: windows-e2e.sh WINDOWS_BUILD [LINUX_BUILD]"
win=$(realpath "${1:?$usage}")
linux=$(realpath "${2:-${VARNO_LINUX_BUILD:?$usage}}")
agent="$win/agent/varno-backup.exe"
server="$linux/tools/kfs-devserver/kfs-devserver"
ctl="$linux/tools/varno-ctl"
for b in "$agent" "$server" "$ctl"; do
  [ -f "$b" ] || { echo "windows-e2e: $b is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/varno-win-e2e-XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Text, binary, empty, nested folders, names with spaces, more than one block.
data="$work/data"
mkdir -p "$data/Documents/Reports 2026" "$data/Pictures" "$data/Empty folder"
python3 - "$data" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(11)
for i in range(12):
    open(os.path.join(root, "Documents", f"note-{i:02d}.txt"), "w").write("line %d\n" % i * (500 * (i + 1)))
open(os.path.join(root, "Documents", "Reports 2026", "q1.csv"), "w").write(
    "\n".join(f"{m},{random.randint(1, 99999)}" for m in range(5000)))
open(os.path.join(root, "Pictures", "big.raw"), "wb").write(random.randbytes(700000))
open(os.path.join(root, "Documents", "empty.txt"), "w").close()
# Past the narrow API's reach on Windows: a folder of 259 characters or more, files of more
# than 260, one of 1010 (the walk takes 1022, and the server path, "/1/Z Drive/...", 1023);
# lengths as the agent sees them ("Z:\\...").
def windows_length(path):
    return len("Z:" + path)
folder = os.path.join(root, "lp")
level = 0
while windows_length(folder) < 950:
    level += 1
    folder = os.path.join(folder, f"level-{level}-folder-" + "x" * 40)
    os.makedirs(folder)
    length = windows_length(folder)
    if 259 <= length < 320 or length >= 950:
        name = "f" * (min(1010, max(261, length + 30)) - length - 1)
        open(os.path.join(folder, name), "w").write(f"{length} {len(name)}\n")
# A name the ANSI code page cannot hold (Wine's is 1252 unless the locale says otherwise).
open(os.path.join(root, "Documents", "\u4e2d\u6587-\u540d\u524d.txt"), "w").write("odd\n")
PY
odd_name=$'\u4e2d\u6587-\u540d\u524d.txt'

mkdir -p "$work/etc" "$work/store"
cp "$(dirname "$0")"/../etc/*.emt "$work/etc/"
"$server" --listen 127.0.0.1:0 --store "$work/store" > "$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 50); do grep -q '^listening' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.out" | head -1)
[ -n "$port" ] || { echo "windows-e2e: the server did not start" >&2; cat "$work/server.out" >&2; exit 1; }
echo "127.0.0.1:$port" > "$work/etc/hosts"
# For the Linux varno-ctl's check of the sources only: Wine's Z: is "/" as well.
echo 'Z:=/' > "$work/etc/drives"

key=$(python3 -c 'import hashlib; print(hashlib.sha256(b"varno windows account").hexdigest())')
source_path="Z:${data//\//\\}\\"
cat > "$work/plain.txt" <<EOF2
# Varno Backup Schedule
UserId=1001
AccountId=1
Schedule=1
Dest=/1
name=Windows backup
enabled=1
acckey=$key
mirror=1
html=0
Src=$source_path
schedule_email=ops@example.invalid
EOF2
cd "$work"
"$ctl" kbs encrypt plain.txt win00000001.kbs > /dev/null
rm plain.txt

status=0
timeout 300 /usr/lib/wine/wine64 "$agent" background win00000001.kbs > agent.out 2>&1 || status=$?
if [ $status -ne 0 ] || ! grep -q 'Backup job completed normally' win00000001.kbs.log 2>/dev/null; then
  echo "windows-e2e: the agent failed (exit $status)" >&2
  tail -n 20 agent.log win00000001.kbs.log agent.out 2>/dev/null | tr -d '\r' >&2 || true
  exit 1
fi
sent=$(grep -c 'FILE: Successfully backed up' win00000001.kbs.log || true)
files=$(find "$data" -type f | wc -l)

"$server" restore --store "$work/store" --dest 1 --account-key "$key" --to "$work/restored" > /dev/null
restored=$(find "$work/restored" -type d -name 'Z Drive' | head -1)
if [ -z "$restored" ] || ! diff -r -x "$odd_name" "$data" "$restored$data" > diff.out 2>&1; then
  echo "windows-e2e: the restored tree differs from the source" >&2
  find "$work/restored" -maxdepth 3 >&2
  head -20 diff.out >&2 || true
  exit 1
fi
deepest=$(find "$data/lp" -type f | awk '{ print length, $0 }' | sort -n | tail -1 | cut -d' ' -f2-)
echo "windows-e2e: the deepest file (a path of $((${#deepest} + 2)) characters) was restored"

# The name the code page cannot hold: reported as failed and not sent, or, where the code
# page holds it, backed up like any other.
if [ -f "$restored$data/Documents/$odd_name" ]; then
  echo "windows-e2e: note: Wine's code page holds $odd_name; its failure is not shown here"
  expected=$files
else
  if ! tr -d '\r' < win00000001.kbs.log |
       grep -q -F -e "while attempting to stat() file: 'Z:${data//\//\\}\\Documents\\??-??.txt'"; then
    echo "windows-e2e: $odd_name was neither backed up nor reported as failed" >&2
    tr -d '\r' < win00000001.kbs.log | grep -F 'Documents' >&2 || true
    exit 1
  fi
  expected=$((files - 1))
fi
# What the run told its owner: the report the server took counts the same failures.
failed=$((files - expected))
if ! cat "$work"/store/mail/* 2>/dev/null | tr -d '\r' |
     grep -q -F "Files that failed ....... $failed"; then
  echo "windows-e2e: the report does not say that $failed files failed" >&2
  cat "$work"/store/mail/* 2>/dev/null | tr -d '\r' | head -30 >&2 || true
  exit 1
fi
if [ "$sent" -ne "$expected" ]; then
  echo "windows-e2e: the job log claims $sent files backed up; the source holds $expected it can name" >&2
  exit 1
fi
echo "windows-e2e: varno-backup.exe backed up $sent files under Wine; the restore equals the source"
