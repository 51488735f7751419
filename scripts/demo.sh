#!/usr/bin/env bash
# A real backup end to end: a reference server on loopback, sample data, a schedule,
# the agent with live progress, the report, a restore checked byte for byte, and a second
# run that sends nothing new.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/$build"
agent="$bin/agent/varno-backup"
ctl="$bin/tools/varno-ctl"
server="$bin/tools/kfs-devserver/kfs-devserver"
for b in "$agent" "$ctl" "$server"; do
  [ -x "$b" ] || { echo "demo: $b is missing; run 'make' first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/varno-demo-XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
echo "== working folder: $work"

# Sample data: text, binary, an empty file, nested folders, a name with spaces.
data="$work/data"
mkdir -p "$data/Documents/Reports 2026" "$data/Pictures" "$data/Empty folder"
python3 - "$data" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
words = "backup server block index report schedule stream cipher folder file".split()
for i in range(40):
    text = " ".join(random.choice(words) for _ in range(2000 + 300 * i))
    open(os.path.join(root, "Documents", f"note-{i:02d}.txt"), "w").write(text)
open(os.path.join(root, "Documents", "Reports 2026", "q1.csv"), "w").write(
    "\n".join(f"{m},{random.randint(1, 99999)}" for m in range(20000)))
for i in range(5):
    open(os.path.join(root, "Pictures", f"img-{i}.raw"), "wb").write(random.randbytes(300000 * (i + 1)))
open(os.path.join(root, "Documents", "empty.txt"), "w").close()
PY
echo "== sample data: $(find "$data" -type f | wc -l) files, $(du -sh "$data" | cut -f1)"

# The agent's working folder: drive map, server address, report templates.
mkdir -p "$work/etc" "$work/store"
cp "$root"/etc/*.emt "$work/etc/"
echo "D:=$data" > "$work/etc/drives"

"$server" --listen 127.0.0.1:0 --store "$work/store" > "$work/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 50); do grep -q '^listening' "$work/server.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/server.out" | head -1)
[ -n "$port" ] || { echo "demo: the server did not start" >&2; cat "$work/server.out" >&2; exit 1; }
echo "127.0.0.1:$port" > "$work/etc/hosts"
echo "== kfs-devserver listening on 127.0.0.1:$port"

key=$(python3 -c 'import hashlib; print(hashlib.sha256(b"varno demo account").hexdigest())')
cat > "$work/plain.txt" <<EOF2
# Varno Backup Schedule
UserId=1001
AccountId=1
Schedule=1
Dest=/1
name=Demo backup
enabled=1
acckey=$key
mirror=1
html=0
Src=D:\\
schedule_email=demo@example.invalid
EOF2
cd "$work"
"$ctl" kbs encrypt plain.txt demo00000001.kbs > /dev/null
rm plain.txt

run() {
  "$agent" background demo00000001.kbs 2>> agent.stderr &
  local agent_pid=$!
  sleep 0.3
  "$ctl" status --watch 2>/dev/null || echo "   (the job finished before the progress could be shown)"
  wait "$agent_pid" || true
}

echo "== first run"
run
grep -E 'Calculated backup size:|FILE: Successfully|Backup job completed' demo00000001.kbs.log | tr -d '\r' | tail -n 4
echo "   files sent: $(grep -c 'FILE: Successfully backed up' demo00000001.kbs.log || true)"

echo "== restore and compare"
"$server" restore --store "$work/store" --dest 1 --account-key "$key" --to "$work/restored" > /dev/null
restored=$(find "$work/restored" -type d -name 'D Drive' | head -1)
if diff -r "$data" "$restored" > /dev/null; then
  echo "   restored tree is identical to the sample data"
else
  echo "   restored tree differs!" >&2
  exit 1
fi

echo "== second run (nothing changed)"
run
echo "   files sent: $(grep -c 'FILE: Successfully backed up' demo00000001.kbs.log || true), current: $(grep -c 'FILE: Current' demo00000001.kbs.log || true)"

echo "== the report of the second run"
mail=$(ls -t "$work"/store/mail/* 2>/dev/null | head -1)
if [ -n "$mail" ]; then sed -n '1,40p' "$mail"; else "$ctl" queue show demo00000001.kbs.eml | sed -n '1,40p'; fi
echo "== done: everything is in $work"
