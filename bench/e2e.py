#!/usr/bin/env python3
"""End-to-end speed of a backup against restic and borg on the same corpus, warm cache.

For each corpus: a first full backup, an unchanged re-run, and a re-run after the
corpus's deterministic 1 % change, by varno-backup against kfs-devserver on 127.0.0.1
(the schedule encrypted with varno-ctl), by restic (default settings) and by borg
(--compression zlib,9), each with a local repository under the bench folder. The three
runs are repeated --repeat times (default 3), each time from empty repositories and the
unchanged corpus, the tools taking turns in an order that rotates from one repetition to
the next. Prints one table of the median wall and CPU seconds with the range of the wall
times, the ratios ours/restic and ours/borg, and the CPU per file of the agent and of the
server; results.json also holds each repetition's figures. Our CPU is the agent's plus the
server's. --verify (implied by --quick) restores our last backup and compares it with the
corpus.

    e2e.py --build BUILD --dir BENCH_DIR [--quick] [--tools varno,restic,borg] [--repeat N]
           [--server PATH] [--server-args ARGS]
           [--corpora mixed,mixed-spread,small,small-spread] [--verify]
"""
import argparse
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
CLOCK_TICK = os.sysconf("SC_CLK_TCK")
PASSWORD = "varno bench repository"
RUNS = ("full", "unchanged", "changed")
TOOLS = ("varno", "restic", "borg")


def log(text):
    print(f"bench: {text}", flush=True)


def run_timed(argv, env=None, cwd=None):
    """Runs argv to its end: (wall s, CPU s of the process and its waited children, status)."""
    start = time.monotonic()
    with open(os.devnull, "wb") as null:
        proc = subprocess.Popen(argv, env=env, cwd=cwd, stdout=null, stderr=subprocess.PIPE)
        stderr_chunks = []
        # stderr is small for every tool here; read it to the end, then reap.
        stderr_chunks.append(proc.stderr.read())
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - start
    cpu = usage.ru_utime + usage.ru_stime
    if proc.returncode != 0:
        sys.stderr.write(b"".join(stderr_chunks).decode(errors="replace")[-4000:])
    return wall, cpu, proc.returncode


def process_cpu(pid):
    """User + system seconds a live process has used so far (from /proc)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICK


def warm(root):
    """Reads every file once so that every tool starts with the same warm page cache."""
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                while f.read(1 << 20):
                    pass


class Varno:
    name = "varno"

    def __init__(self, build, server, server_args, top, data):
        self.agent = os.path.join(build, "agent", "varno-backup")
        self.ctl = os.path.join(build, "tools", "varno-ctl")
        self.server_bin = server or os.path.join(build, "tools", "kfs-devserver", "kfs-devserver")
        for b in (self.agent, self.ctl, self.server_bin):
            if not os.access(b, os.X_OK):
                sys.exit(f"bench: {b} is missing; build first")
        self.work = os.path.join(top, "varno")
        self.store = os.path.join(self.work, "store")
        self.data = data
        self.key = hashlib.sha256(b"varno bench account").hexdigest()
        os.makedirs(os.path.join(self.work, "etc"))
        os.makedirs(self.store)
        for name in os.listdir(os.path.join(SOURCE, "etc")):
            if name.endswith(".emt"):
                shutil.copy(os.path.join(SOURCE, "etc", name), os.path.join(self.work, "etc"))
        with open(os.path.join(self.work, "etc", "drives"), "w") as f:
            f.write(f"D:={data}\n")
        self.env = dict(os.environ)
        # Own IPC names, so that tests or another agent on the machine are not disturbed; no
        # idle wait for further jobs after the one job, which is not work.
        self.env["VARNO_IPC_NAMESPACE"] = f".bench{os.getpid()}"
        self.env["VARNO_IDLE_MS"] = "1"
        self.server = None
        self.server_args = server_args
        self.start_server()
        plain = os.path.join(self.work, "plain.txt")
        with open(plain, "w") as f:
            f.write("# Varno Backup Schedule\nUserId=1001\nAccountId=1\nSchedule=1\nDest=/1\n"
                    f"name=Bench\nenabled=1\nacckey={self.key}\nmirror=1\nhtml=0\n"
                    "Src=D:\\\nschedule_email=bench@example.invalid\n")
        subprocess.run([self.ctl, "kbs", "encrypt", "plain.txt", "bench0000001.kbs"],
                       cwd=self.work, check=True, stdout=subprocess.DEVNULL)
        os.remove(plain)

    def start_server(self):
        out = open(os.path.join(self.work, "server.out"), "ab")
        self.server = subprocess.Popen(
            [self.server_bin, "--listen", "127.0.0.1:0", "--store", self.store] + self.server_args,
            stdout=subprocess.PIPE, stderr=out)
        line = self.server.stdout.readline().decode()
        if not line.startswith("listening 127.0.0.1:"):
            sys.exit(f"bench: kfs-devserver did not start: {line!r}")
        port = int(line.rsplit(":", 1)[1])
        with open(os.path.join(self.work, "etc", "hosts"), "w") as f:
            f.write(f"127.0.0.1:{port}\n")

    def backup(self, run):
        server_before = process_cpu(self.server.pid)
        wall, cpu, status = run_timed([self.agent, "background", "bench0000001.kbs"],
                                      env=self.env, cwd=self.work)
        server_cpu = process_cpu(self.server.pid) - server_before
        with open(os.path.join(self.work, "bench0000001.kbs.log"), "rb") as f:
            tail = f.read()[-4096:]
        if status != 0 or b"Backup job completed normally." not in tail:
            sys.exit(f"bench: varno-backup {run} failed (status {status}); see {self.work}")
        return {"wall": wall, "cpu": cpu + server_cpu, "agent_cpu": cpu, "server_cpu": server_cpu}

    def verify(self):
        out = os.path.join(self.work, "restored")
        shutil.rmtree(out, ignore_errors=True)
        subprocess.run([self.server_bin, "restore", "--store", self.store, "--dest", "1",
                        "--account-key", self.key, "--to", out], check=True,
                       stdout=subprocess.DEVNULL)
        restored = os.path.join(out, "1", "D Drive")
        diff = subprocess.run(["diff", "-rq", self.data, restored], capture_output=True)
        if diff.returncode != 0:
            sys.exit("bench: the restored tree differs from the corpus:\n" +
                     diff.stdout.decode()[:2000])
        shutil.rmtree(out)
        log("restore of the last run equals the corpus")

    def close(self):
        if self.server is not None:
            self.server.terminate()
            self.server.wait()
            self.server = None


class Restic:
    name = "restic"

    def __init__(self, top, data):
        self.data = data
        self.env = dict(os.environ, RESTIC_REPOSITORY=os.path.join(top, "restic"),
                        RESTIC_PASSWORD=PASSWORD, RESTIC_CACHE_DIR=os.path.join(top, "restic-cache"))
        subprocess.run(["restic", "init"], env=self.env, check=True, stdout=subprocess.DEVNULL)

    def backup(self, run):
        wall, cpu, status = run_timed(["restic", "backup", "--quiet", self.data], env=self.env)
        if status != 0:
            sys.exit(f"bench: restic {run} failed (status {status})")
        return {"wall": wall, "cpu": cpu}

    def close(self):
        pass


class Borg:
    name = "borg"

    def __init__(self, top, data):
        self.data = data
        self.env = dict(os.environ, BORG_REPO=os.path.join(top, "borg"), BORG_PASSPHRASE=PASSWORD,
                        BORG_BASE_DIR=os.path.join(top, "borg-home"))
        subprocess.run(["borg", "init", "--encryption=repokey"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def backup(self, run):
        wall, cpu, status = run_timed(
            ["borg", "create", "--compression", "zlib,9", f"::{run}", self.data], env=self.env)
        if status != 0:
            sys.exit(f"bench: borg {run} failed (status {status})")
        return {"wall": wall, "cpu": cpu}

    def close(self):
        pass


def corpus(command, kind, data):
    subprocess.run([sys.executable, os.path.join(HERE, "corpus.py"), command, kind, data],
                   check=True)


def settle(data):
    warm(data)
    # The writeback of freshly written files would slow whichever tool runs first.
    os.sync()


def make_tool(args, name, top, data):
    if name == "varno":
        return Varno(args.build, args.server, args.server_args.split(), top, data)
    return {"restic": Restic, "borg": Borg}[name](top, data)


def bench_corpus(args, kind, results):
    top = os.path.join(args.dir, kind)
    shutil.rmtree(top, ignore_errors=True)
    os.makedirs(top)
    data = os.path.join(top, "data")
    log(f"{kind}: generating the corpus in {data}")
    corpus("generate", kind, data)
    files = sum(len(names) for _, _, names in os.walk(data))
    names = [name for name in TOOLS if name in args.tools]
    reps = {run: {name: [] for name in names} for run in RUNS}
    for rep in range(args.repeat):
        # Every repetition times the same three steps: empty repositories, the corpus as
        # generated (restoring the changed files gives back its bytes and mtimes without
        # rewriting the whole tree), then the change.
        if rep:
            corpus("restore", kind, data)
        settle(data)
        # The order rotates so that no tool always runs first, or right after the change.
        order = names[rep % len(names):] + names[:rep % len(names)]
        stores = os.path.join(top, "repositories")
        shutil.rmtree(stores, ignore_errors=True)
        os.makedirs(stores)
        tools = []
        try:
            for name in order:
                tools.append(make_tool(args, name, stores, data))
            for run in RUNS:
                if run == "changed":
                    corpus("change", kind, data)
                    settle(data)
                for position, tool in enumerate(tools):
                    log(f"{kind} {rep + 1}/{args.repeat}: {tool.name} {run}")
                    r = tool.backup(run)
                    r["position"] = position
                    reps[run][tool.name].append(r)
            ours = [tool for tool in tools if tool.name == "varno"]
            if args.verify and ours and rep == args.repeat - 1:
                ours[0].verify()
        finally:
            for tool in tools:
                tool.close()
    for run in RUNS:
        for name in names:
            runs = reps[run][name]
            summary = {k: statistics.median(r[k] for r in runs)
                       for k in runs[0] if k != "position"}
            summary["wall_min"] = min(r["wall"] for r in runs)
            summary["wall_max"] = max(r["wall"] for r in runs)
            summary["files"] = files
            summary["reps"] = runs
            results.setdefault(kind, {}).setdefault(run, {})[name] = summary


def table(results):
    head = ("corpus", "run", "ours wall", "min-max", "ours CPU", "restic wall", "min-max",
            "restic CPU", "borg wall", "min-max", "borg CPU", "wall o/r", "CPU o/r", "wall o/b",
            "CPU o/b", "agent us/f", "server us/f")
    rows = [head]

    def num(v, digits=1):
        return "-" if v is None else f"{v:.{digits}f}"

    def spread(t):
        return "-" if t is None else f"{t['wall_min']:.1f}-{t['wall_max']:.1f}"

    def ratio(a, b):
        return None if a is None or b is None or b == 0 else a / b

    for kind, runs in results.items():
        for run in RUNS:
            r = runs.get(run, {})
            ours, restic, borg = r.get("varno"), r.get("restic"), r.get("borg")
            get = lambda t, k: None if t is None else t[k]
            files = next(iter(r.values()))["files"] if r else 0
            per_file = lambda k: None if ours is None else ours[k] / files * 1e6
            rows.append((f"{kind} ({files})", run,
                         num(get(ours, "wall")), spread(ours), num(get(ours, "cpu")),
                         num(get(restic, "wall")), spread(restic), num(get(restic, "cpu")),
                         num(get(borg, "wall")), spread(borg), num(get(borg, "cpu")),
                         num(ratio(get(ours, "wall"), get(restic, "wall")), 2),
                         num(ratio(get(ours, "cpu"), get(restic, "cpu")), 2),
                         num(ratio(get(ours, "wall"), get(borg, "wall")), 2),
                         num(ratio(get(ours, "cpu"), get(borg, "cpu")), 2),
                         num(per_file("agent_cpu"), 0), num(per_file("server_cpu"), 0)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(head))]
    lines = []
    for n, row in enumerate(rows):
        lines.append("  ".join(cell.ljust(w) if i < 2 else cell.rjust(w)
                               for i, (cell, w) in enumerate(zip(row, widths))))
        if n == 0:
            lines.append("-" * len(lines[0]))
    return "\n".join(lines)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", required=True)
    p.add_argument("--dir", required=True)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--tools", default="varno,restic,borg")
    p.add_argument("--corpora", default="mixed,mixed-spread,small,small-spread")
    p.add_argument("--repeat", type=int, default=3,
                   help="repetitions of each corpus's runs, interleaved across the tools")
    p.add_argument("--server", default="")
    p.add_argument("--server-args", default="", help="extra kfs-devserver arguments")
    p.add_argument("--verify", action="store_true")
    args = p.parse_args()
    # A smoke run is also a correctness check; a full-size restore takes minutes.
    args.verify = args.verify or args.quick
    args.build = os.path.abspath(args.build)
    args.dir = os.path.abspath(args.dir)
    args.tools = args.tools.split(",")
    if args.repeat < 1:
        sys.exit("bench: --repeat needs 1 or more")
    if args.server:
        args.server = os.path.abspath(args.server)
    corpora = [("quick-" if args.quick else "") + c for c in args.corpora.split(",")]
    inside = lambda path, folder: os.path.commonpath([path, folder]) == folder
    if inside(args.dir, SOURCE) and not inside(args.dir, args.build):
        sys.exit(f"bench: {args.dir} lies in the source tree; choose a folder outside it")
    results = {}
    for kind in corpora:
        bench_corpus(args, kind, results)
    text = table(results)
    print()
    print(text)
    print(f"medians of {args.repeat} interleaved repetitions, min-max = the range of their wall "
          "times; ours = varno-backup + kfs-devserver on 127.0.0.1; borg with --compression "
          "zlib,9; o/r, o/b = ours/restic, ours/borg (of the medians); us/f = CPU microseconds "
          "per corpus file")
    with open(os.path.join(args.dir, "results.txt"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(args.dir, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
