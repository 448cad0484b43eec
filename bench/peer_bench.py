#!/usr/bin/env python3
"""The peer benchmark: sfx beside unzip, 7-Zip and bsdtar on the same archives,
our inflate beside zlib and libdeflate in memory, CRC-32, and callgrind
instruction counts. Run through bench/run.sh, which builds what it needs;
see bench/README.md for the inputs and how to read the tables."""

import argparse
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_inputs  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

FULL = dict(mixed=100e6, text=50e6, small=20000, legacy=6_000_000)
QUICK = dict(mixed=10e6, text=5e6, small=2000, legacy=1_500_000)
LEGACY = [(1, 1, "shrink (1)"), (2, 2, "reduce (2, factor 1)"), (3, 3, "reduce (3, factor 2)"),
          (4, 4, "reduce (4, factor 3)"), (5, 5, "reduce (5, factor 4)"), (6, 6, "implode (6)")]
OPS = [("test", "test"), ("extract-tmpfs", "extract to tmpfs"), ("extract-disk", "extract to disk")]


def log(*a):
    print(*a, file=sys.stderr, flush=True)


# ---- inputs ----

def prepare_inputs(cache, sizes, shared, tag):
    """Makes (or finds in the cache) every archive; returns [(key, label, path)]."""
    key = make_inputs.fingerprint(repr(sorted(sizes.items())))
    folder = os.path.join(cache, "%s-%s" % (tag, key))
    os.makedirs(folder, exist_ok=True)
    archives = []

    def build(name, label, make_tree, arg, level):
        path = os.path.join(folder, name + ".zip")
        if not os.path.exists(path):
            t0 = time.time()
            tree = os.path.join(folder, "tree-" + name.split("-")[0])
            if not os.path.isdir(tree):
                shutil.rmtree(tree + ".tmp", ignore_errors=True)
                make_tree(tree + ".tmp", arg, 20241208)
                os.replace(tree + ".tmp", tree)
            make_inputs.zip_tree(tree, path, level)
            log("  made %s in %.0f s" % (path, time.time() - t0))
        archives.append((name, label, path))

    build("mixed-6", "mixed, zip -6", make_inputs.make_mixed_tree, sizes["mixed"], 6)
    build("mixed-0", "mixed, zip -0 (stored)", make_inputs.make_mixed_tree, sizes["mixed"], 0)
    build("text-9", "text, zip -9", make_inputs.make_text_tree, sizes["text"], 9)
    build("small-6", "%d small files, zip -6" % sizes["small"], make_inputs.make_small_tree, sizes["small"], 6)
    for name in os.listdir(folder):  # the trees are not needed once zipped
        if name.startswith("tree-"):
            shutil.rmtree(os.path.join(folder, name))

    corpus = os.path.join(shared, "corpus")
    manifest = os.path.join(corpus, "MANIFEST.tsv")
    if not os.path.exists(manifest):
        log("  no corpus at %s: the legacy methods (1 to 6) are skipped" % corpus)
        return archives
    rows = []
    with open(manifest) as f:
        head = f.readline().rstrip("\n").split("\t")
        for line in f:
            rows.append(dict(zip(head, line.rstrip("\n").split("\t"))))
    for low, high, label in LEGACY:
        best = None
        for row in rows:
            for name, method, size in zip(row["entries"].split(";"), row["methods"].split(";"),
                                          row["sizes"].split(";")):
                if method.isdigit() and low <= int(method) <= high and (best is None or int(size) > best[2]):
                    best = (row["file"], name, int(size))
        if best is None:
            continue
        path = os.path.join(folder, "legacy-%d.zip" % low)
        copies = make_inputs.legacy_archive(os.path.join(corpus, best[0]), best[1], path, sizes["legacy"])
        archives.append(("legacy-%d" % low, "%s: %s:%s x%d" % (label, best[0], best[1], copies), path))
    return archives


def archive_facts(path):
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
    files = [i for i in infos if not i.is_dir()]
    largest = max((i for i in files if i.compress_type == 8), key=lambda i: i.file_size, default=None)
    return dict(output=sum(i.file_size for i in files), files=len(files), size=os.path.getsize(path),
                largest_deflated=largest.filename if largest else None,
                largest_deflated_size=largest.file_size if largest else 0)


# ---- the tools ----

def tool_table(sfx, baseline):
    """(key, label, ours, {op: argv builder}); bsdtar's test is extraction to stdout."""
    def sfx_tool(path):
        return {"test": lambda a, d: ([path, "test", a], None),
                "extract": lambda a, d: ([path, "extract", a, d], None)}
    tools = [("sfx", "sfx", True, sfx_tool(sfx))]
    if baseline:
        tools.append(("sfx-baseline", "sfx (baseline)", True, sfx_tool(baseline)))
    if shutil.which("unzip"):
        tools.append(("unzip", "unzip", False, {"test": lambda a, d: (["unzip", "-t", "-qq", a], None),
                                                 "extract": lambda a, d: (["unzip", "-o", "-qq", a, "-d", d], None)}))
    if shutil.which("7zz"):
        tools.append(("7zz", "7zz", False, {"test": lambda a, d: (["7zz", "t", "-bso0", "-bsp0", a], None),
                                             "extract": lambda a, d: (["7zz", "x", "-y", "-bso0", "-bsp0", "-o" + d, a], None)}))
    if shutil.which("bsdtar"):
        tools.append(("bsdtar", "bsdtar", False, {"test": lambda a, d: (["bsdtar", "-x", "-O", "-f", a], "null"),
                                                   "extract": lambda a, d: (["bsdtar", "-x", "-f", a, "-C", d], None)}))
    return tools


def run_once(argv, stdout_null=True):
    """Returns (exit code, wall seconds, CPU seconds of the child, stderr text)."""
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
        p.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        text = err.read().decode(errors="replace")
    return p.returncode, wall, usage.ru_utime + usage.ru_stime, text


def tree_bytes(folder):
    total = 0
    for d, _, files in os.walk(folder):
        for f in files:
            total += os.path.getsize(os.path.join(d, f))
    return total


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def measure_throughput(archives, facts, tools, runs, targets):
    results = {}
    for key, label, path in archives:
        out = facts[key]["output"]
        results[key] = {}
        for op, _ in OPS:
            results[key][op] = {}
        # A first, untimed pass tells which tools do the archive's methods
        # (and warms the caches); an extraction must produce every byte.
        usable = []
        for tkey, tlabel, _, cmds in tools:
            argv, _ = cmds["test"](path, None)
            rc, _, _, err = run_once(argv)
            target = targets["extract-tmpfs"]
            fresh(target)
            argv, _ = cmds["extract"](path, target)
            rc2, _, _, err2 = run_once(argv)
            got = tree_bytes(target)
            shutil.rmtree(target, ignore_errors=True)
            if rc != 0 or rc2 != 0 or got != out:
                why = (err or err2).strip().splitlines()
                note = "unsupported" if rc != 0 else ("wrong output (%d of %d bytes)" % (got, out) if got != out else "failed")
                for op, _ in OPS:
                    results[key][op][tkey] = {"error": note, "detail": why[-1][:200] if why else ""}
                log("  %s: %s %s (%s)" % (key, tkey, note, why[-1][:100] if why else "exit %d/%d" % (rc, rc2)))
            else:
                usable.append((tkey, cmds))
        for op, _ in OPS:
            walls = {t: [] for t, _ in usable}
            cpus = {t: [] for t, _ in usable}
            for _ in range(runs):
                for tkey, cmds in usable:  # round robin, so that drift spreads over every tool
                    if op == "test":
                        argv, _ = cmds["test"](path, None)
                    else:
                        target = targets[op]
                        fresh(target)
                        argv, _ = cmds["extract"](path, target)
                    rc, wall, cpu, err = run_once(argv)
                    if op != "test":
                        shutil.rmtree(targets[op], ignore_errors=True)
                        if op == "extract-disk":
                            os.sync()
                    if rc != 0:
                        raise SystemExit("%s failed on %s (%s): %s" % (tkey, key, op, err.strip()[:300]))
                    walls[tkey].append(wall)
                    cpus[tkey].append(cpu)
            for tkey, _ in usable:
                w = statistics.median(walls[tkey])
                c = statistics.median(cpus[tkey])
                results[key][op][tkey] = {"wall_s": walls[tkey], "cpu_s": cpus[tkey], "median_wall_s": w,
                                          "median_cpu_s": c, "mb_s": out / 1e6 / w, "cpu_mb_s": out / 1e6 / c}
            log("  %s %s: %s" % (key, op, ", ".join("%s %.0f MB/s" % (t, results[key][op][t]["mb_s"])
                                                     for t, _ in usable)))
    return results


# ---- in memory ----

def inflate_bench(binary, archive, entry, runs, only=None):
    argv = [binary, "--json", "--runs", str(runs)] + (["--only", only] if only else []) + [archive, entry]
    return json.loads(subprocess.run(argv, capture_output=True, text=True, check=True).stdout)


def callgrind(argv, toggle=None):
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out]
        if toggle:
            cmd.append("--toggle-collect=" + toggle)
        p = subprocess.run(cmd + argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        total = None
        if os.path.exists(out):
            with open(out) as f:
                for line in f:
                    if line.startswith("summary:") or line.startswith("totals:"):
                        total = int(line.split()[1])
        if total is None:
            raise SystemExit("callgrind failed for %s: %s" % (" ".join(argv), p.stderr[-500:]))
        return total, p.returncode


# ---- tables ----

def fmt_rate(v):
    return "%.0f" % v if v >= 100 else "%.1f" % v


def fmt_ratio(v):
    return "%.2fx" % v


def throughput_tables(res, facts, archives, tools, runs, metric, title_suffix):
    lines = []
    for op, op_label in OPS:
        if metric == "cpu_mb_s" and op != "test":
            continue
        cols = [t for t in tools if any(t[0] in res[k][op] for k, _, _ in archives)]
        lines.append("#### %s%s" % (op_label, title_suffix))
        lines.append("")
        heads = []
        for tkey, tlabel, _, _ in cols:
            heads.append({"test": {"sfx": "sfx test", "sfx-baseline": "sfx test (baseline)", "unzip": "unzip -t",
                                   "7zz": "7zz t", "bsdtar": "bsdtar -x -O (*)"},
                          }.get(op, {}).get(tkey, tlabel + (" extract" if tkey.startswith("sfx") else "")))
        if op != "test":
            heads = [{"sfx": "sfx extract", "sfx-baseline": "sfx extract (baseline)", "unzip": "unzip -o -d",
                      "7zz": "7zz x", "bsdtar": "bsdtar -x -C"}.get(t[0], t[1]) for t in cols]
        lines.append("| archive | output MB | " + " | ".join(heads) + " |")
        lines.append("|---|---:|" + "---:|" * len(cols))
        for key, label, _ in archives:
            cells = res[key][op]
            peers = [cells[t][metric] for t, _, ours, _ in cols if not ours and t in cells and metric in cells[t]]
            best = max(peers) if peers else None
            row = []
            for tkey, _, _, _ in cols:
                c = cells.get(tkey)
                if c is None:
                    row.append("")
                elif "error" in c:
                    row.append("n/a (%s)" % c["error"])
                else:
                    row.append(fmt_rate(c[metric]) + (" (%s)" % fmt_ratio(c[metric] / best) if best else ""))
            lines.append("| %s | %.1f | %s |" % (label, facts[key]["output"] / 1e6, " | ".join(row)))
        lines.append("")
    return lines


def render(report):
    a = report
    L = []
    L.append("Machine: %s, %d cores, %s; %s; generated %s." % (
        a["machine"]["cpu"], a["machine"]["cores"], a["machine"]["kernel"], a["machine"]["tools"], a["date"]))
    L.append("Command: `%s`." % a["command"])
    L.append("")
    L.append("### Throughput: MB/s of output, median wall time of %d runs (ratio to the fastest peer)" % a["runs"])
    L.append("")
    L.append("Output MB = uncompressed bytes / 10^6; a figure is output MB / median wall seconds of the whole "
             "process; (ratio) = this figure / the fastest peer's figure on the same row (peers: unzip, 7zz, bsdtar; "
             "above 1 is faster than every peer). Archives on tmpfs; each extraction into a fresh empty folder "
             "on tmpfs (/dev/shm) or on disk (a folder in the build folder, %s, written through the page cache; the "
             "folder's removal and a sync after each run are not timed). "
             "(*) bsdtar has no test command: `bsdtar -x -O -f ARCHIVE > /dev/null` stands in for it. "
             "n/a: the tool does not decode the method." % a["disk_target_fs"])
    L.append("")
    L += throughput_tables(a["throughput"], a["facts"], a["archives_list"], a["tools_list"], a["runs"], "mb_s", "")
    L.append("CPU time (user + system of the process) is steadier on a shared machine:")
    L.append("")
    L += throughput_tables(a["throughput"], a["facts"], a["archives_list"], a["tools_list"], a["runs"], "cpu_mb_s",
                           ", MB/s of CPU time (median)")
    if a.get("inmemory"):
        L.append("### In-memory inflate: MB/s of output, median thread CPU time of %d runs" % a["runs"])
        L.append("")
        L.append("Ours is run as `sfx test` runs it: ExtractEntry in test-only mode, reading the archive (on tmpfs) "
                 "through the engine's 2048-byte buffer, output through the CRC-32 only, so its figure includes the "
                 "CRC-32. zlib `inflate` decodes from memory into a 32 KiB buffer; `libdeflate_deflate_decompress` "
                 "into one buffer of the whole output; both are given without and with a CRC-32 of the output "
                 "(zlib's `crc32`, `libdeflate_crc32`). (ratio) = figure / the fastest peer with CRC-32.")
        L.append("")
        progs = a["inmemory_programs"]
        L.append("| entry | output MB | compressed MB | " + " | ".join(a["program_labels"][p] for p in progs) + " |")
        L.append("|---|---:|---:|" + "---:|" * len(progs))
        for row in a["inmemory"]:
            r = row["results"]
            peers = [r[p]["mb_s"] for p in progs if p.endswith("+crc") and p in r]
            best = max(peers) if peers else None
            cells = [fmt_rate(r[p]["mb_s"]) + (" (%s)" % fmt_ratio(r[p]["mb_s"] / best) if best else "")
                     if p in r else "" for p in progs]
            L.append("| %s | %.1f | %.1f | %s |" % (row["label"], row["uncompressed"] / 1e6, row["compressed"] / 1e6,
                                                 " | ".join(cells)))
        L.append("")
    if a.get("crc"):
        c = a["crc"]
        L.append("### CRC-32 in memory (%s, %.1f MB, median thread CPU time of %d runs)" % (
            c["label"], c["bytes"] / 1e6, a["runs"]))
        L.append("")
        L.append("Ours is `UpdateCrc` fed 32 KiB at a time, as `FlushOutput` feeds it.")
        L.append("")
        progs = [p for p in ("crc-ours", "crc-ours-baseline", "crc-zlib", "crc-libdeflate") if p in c["results"]]
        L.append("| | " + " | ".join(a["program_labels"][p] for p in progs) + " |")
        L.append("|---|" + "---:|" * len(progs))
        peers = [c["results"][p]["mb_s"] for p in progs if not p.startswith("crc-ours")]
        best = max(peers) if peers else None
        L.append("| MB/s | " + " | ".join(fmt_rate(c["results"][p]["mb_s"]) + (
            " (%s)" % fmt_ratio(c["results"][p]["mb_s"] / best) if best else "") for p in progs) + " |")
        if "per_byte" in c:
            L.append("| instructions per byte (callgrind) | " + " | ".join(
                "%.3f" % c["per_byte"][p] if p in c["per_byte"] else "" for p in progs) + " |")
        L.append("")
    if a.get("callgrind"):
        g = a["callgrind"]
        L.append("### Instructions (callgrind), lower is better")
        L.append("")
        L.append("Counted by `valgrind --tool=callgrind` (instructions executed, Ir), which does not depend on the "
                 "machine's load. Inputs: %s. (ratio) = this count / the lowest peer count on the row "
                 "(below 1 is fewer instructions than every peer)." % g["inputs_note"])
        L.append("")
        L.append("Whole process, test command (millions of instructions per MB of output):")
        L.append("")
        cols = [t for t in g["tools"]]
        L.append("| archive | output MB | " + " | ".join(g["tool_labels"][t] for t in cols) + " |")
        L.append("|---|---:|" + "---:|" * len(cols))
        for row in g["process"]:
            peers = [row["per_mb"][t] for t in cols if t in row["per_mb"] and not t.startswith("sfx")]
            best = min(peers) if peers else None
            cells = ["%.2f (%s)" % (row["per_mb"][t] / 1e6, fmt_ratio(row["per_mb"][t] / best)) if t in row["per_mb"] and best
                     else ("%.2f" % (row["per_mb"][t] / 1e6) if t in row["per_mb"] else row["errors"].get(t, ""))
                     for t in cols]
            L.append("| %s | %.1f | %s |" % (row["label"], row["output"] / 1e6, " | ".join(cells)))
        L.append("")
        if g.get("inmemory"):
            L.append("In memory, decoding only (`--toggle-collect=Bench*`: the setup and the reading of the archive "
                     "into memory are not counted; ours includes its reads through the engine's buffer and the "
                     "CRC-32), instructions per output byte:")
            L.append("")
            progs = g["inmemory_programs"]
            L.append("| entry | output MB | " + " | ".join(a["program_labels"][p] for p in progs) + " |")
            L.append("|---|---:|" + "---:|" * len(progs))
            for row in g["inmemory"]:
                peers = [row["per_byte"][p] for p in progs if p.endswith("+crc") and p in row["per_byte"]]
                best = min(peers) if peers else None
                cells = [("%.2f" % row["per_byte"][p]) + (" (%s)" % fmt_ratio(row["per_byte"][p] / best) if best else "")
                         if p in row["per_byte"] else "" for p in progs]
                L.append("| %s | %.1f | %s |" % (row["label"], row["output"] / 1e6, " | ".join(cells)))
            L.append("")
            L.append("(ratio) = count / the lowest peer count with CRC-32.")
            L.append("")
    if a.get("notes"):
        L.append("Notes: " + " ".join(a["notes"]))
        L.append("")
    return "\n".join(L)


def machine_facts(disk_target):
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    def version(argv, pick):
        try:
            out = subprocess.run(argv, capture_output=True, text=True).stdout + ""
            return pick(out)
        except (OSError, IndexError):
            return "?"
    tools = ", ".join([
        "UnZip " + version(["unzip", "-v"], lambda o: o.split()[1]),
        "7-Zip " + version(["7zz"], lambda o: o.split("7-Zip (z) ")[1].split()[0]),
        version(["bsdtar", "--version"], lambda o: " ".join(o.split()[:2])),
        "zip " + version(["zip", "-v"], lambda o: o.splitlines()[1].split()[3]),
    ])
    fs = subprocess.run(["df", "-T", disk_target], capture_output=True, text=True).stdout.splitlines()
    return dict(cpu=cpu, cores=os.cpu_count(), kernel=platform.release(), tools=tools), \
        (fs[1].split()[1] if len(fs) > 1 else "?")


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    p.add_argument("--cache", default=None, help="input cache (default /dev/shm/ziplauncher-bench)")
    p.add_argument("--shared", default=None, help="folder holding corpus/ (default ../shared beside the project, "
                   "or beside the main checkout when this is a git worktree)")
    p.add_argument("--runs", type=int, default=None, help="runs per figure (default 5, --quick 2)")
    p.add_argument("--quick", action="store_true", help="small inputs and 2 runs: a smoke run")
    p.add_argument("--baseline-sfx", default=None, help="a second sfx binary (an older build), timed beside")
    p.add_argument("--baseline-inflate-bench", default=None, help="inflate_bench built on an older core")
    p.add_argument("--no-callgrind", action="store_true")
    p.add_argument("--only", default=None, help="comma-separated archive keys (mixed-6,mixed-0,text-9,small-6,legacy-N)")
    p.add_argument("--output", default=None, help="markdown file (default BUILD/results.md; .json beside it)")
    p.add_argument("--render", default=None, metavar="JSON", help="only print the tables of an earlier run")
    p.add_argument("--command", default=None, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.render:
        with open(args.render) as f:
            print(render(json.load(f)))
        return

    runs = args.runs or (2 if args.quick else 5)
    if args.shared is None:
        args.shared = os.path.join(ROOT, "..", "shared")
        common = subprocess.run(["git", "-C", ROOT, "rev-parse", "--path-format=absolute", "--git-common-dir"],
                                capture_output=True, text=True).stdout.strip()
        if not os.path.isdir(args.shared) and common:
            args.shared = os.path.join(os.path.dirname(os.path.dirname(common)), "shared")
    build = os.path.abspath(args.build_dir)
    sfx = os.path.join(build, "sfx", "sfx")
    ibench = os.path.join(build, "bench", "inflate_bench")
    for b in (sfx, ibench):
        if not os.path.exists(b):
            raise SystemExit("missing %s: run bench/run.sh, which builds it" % b)
    baseline = os.path.abspath(args.baseline_sfx) if args.baseline_sfx else None
    if baseline and not os.access(baseline, os.X_OK):
        raise SystemExit("no such sfx: %s" % baseline)
    cache = args.cache or ("/dev/shm/ziplauncher-bench" if os.path.isdir("/dev/shm") else os.path.join(build, "cache"))
    os.makedirs(cache, exist_ok=True)
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else cache
    targets = {"extract-tmpfs": os.path.join(shm, "ziplauncher-bench-extract", "out"),
               "extract-disk": os.path.join(build, "extract-target", "out")}
    for t in targets.values():
        os.makedirs(os.path.dirname(t), exist_ok=True)
    started = time.time()

    sizes = QUICK if args.quick else FULL
    log("inputs (cache %s)" % cache)
    archives = prepare_inputs(cache, sizes, os.path.abspath(args.shared), "quick" if args.quick else "full")
    cg_archives = archives if args.quick else prepare_inputs(cache, QUICK, os.path.abspath(args.shared), "quick")
    if args.only:
        keep = set(args.only.split(","))
        archives = [x for x in archives if x[0] in keep]
    facts = {k: archive_facts(path) for k, _, path in archives}
    labels = []
    for k, label, path in archives:
        if not k.startswith("legacy"):
            n = facts[k]["files"]
            label = "%s (%d file%s)" % (label, n, "" if n == 1 else "s") if "small" not in k else label
        labels.append((k, label, path))
    archives = labels
    tools = tool_table(sfx, baseline)
    log("tools: " + ", ".join(t[0] for t in tools))

    machine, fs = machine_facts(os.path.dirname(targets["extract-disk"]))
    report = dict(date=datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                  command=args.command or " ".join(["python3", "bench/peer_bench.py"] + sys.argv[1:]),
                  machine=machine, disk_target_fs=fs, runs=runs, sizes=sizes, facts=facts,
                  archives_list=archives, notes=[])
    report["tools_list"] = [(t[0], t[1], t[2], None) for t in tools]

    log("throughput (%d runs each)" % runs)
    report["throughput"] = measure_throughput(archives, facts, tools, runs, targets)

    labels = {"ours": "ours (test-only, with CRC-32)", "ours-baseline": "ours, baseline (with CRC-32)",
              "zlib": "zlib inflate", "zlib+crc": "zlib inflate + crc32", "libdeflate": "libdeflate",
              "libdeflate+crc": "libdeflate + crc32", "crc-ours": "ours (UpdateCrc)", "crc-zlib": "zlib crc32",
              "crc-libdeflate": "libdeflate_crc32", "crc-ours-baseline": "ours, baseline (UpdateCrc)"}
    report["program_labels"] = labels
    progs = ["ours"] + (["ours-baseline"] if args.baseline_inflate_bench else []) + \
        ["zlib", "zlib+crc", "libdeflate", "libdeflate+crc"]

    def inmemory_rows(set_archives, set_facts):
        rows = []
        for key in ("text-9", "mixed-6"):
            path = dict((k, p) for k, _, p in set_archives).get(key)
            if path is None:
                continue
            # The 50 MB text file, and the large entry of every kind of content.
            entry = {"text-9": "manual.txt", "mixed-6": "bin/core.dll"}[key]
            rows.append((key, "%s: %s" % ({"text-9": "text -9", "mixed-6": "mixed -6"}[key], entry), path, entry))
        return rows

    log("in memory")
    rows = []
    for key, label, path, entry in inmemory_rows(archives, facts):
        r = inflate_bench(ibench, path, entry, runs)
        if args.baseline_inflate_bench:
            b = inflate_bench(args.baseline_inflate_bench, path, entry, runs, "ours")
            r["results"]["ours-baseline"] = b["results"]["ours"]
            cb = inflate_bench(args.baseline_inflate_bench, path, entry, runs, "crc-ours")
            r["results"]["crc-ours-baseline"] = cb["results"]["crc-ours"]
        for name, v in r["results"].items():
            v["mb_s"] = r["uncompressed"] / 1e6 / v["median_cpu_s"] if v["median_cpu_s"] > 0 else 0.0
        if not r["libdeflate"]:
            report["notes"].append("inflate_bench was built without libdeflate.")
        rows.append(dict(key=key, label=label, entry=entry, uncompressed=r["uncompressed"],
                         compressed=r["compressed"], results={k: v for k, v in r["results"].items()
                                                                 if not k.startswith("crc-")}))
        if key == "text-9":
            crc = {k: v for k, v in r["results"].items() if k.startswith("crc-")}
            report["crc"] = dict(label="the text -9 entry's output", bytes=r["uncompressed"], results=crc)
        log("  %s: %s" % (label, ", ".join("%s %.0f" % (k, v["mb_s"]) for k, v in r["results"].items())))
    report["inmemory"] = rows
    report["inmemory_programs"] = [p for p in progs if any(p in row["results"] for row in rows)]

    if not args.no_callgrind and shutil.which("valgrind"):
        log("callgrind")
        cg_facts = {k: archive_facts(path) for k, _, path in cg_archives if k in ("mixed-6", "text-9")}
        g = dict(tools=[], tool_labels={}, process=[], inmemory=[],
                 inputs_note=("the same generators at a tenth of the full size (mixed -6: %.0f MB of output, "
                              "text -9: %.0f MB), to keep valgrind's time short" % (
                                  cg_facts["mixed-6"]["output"] / 1e6, cg_facts["text-9"]["output"] / 1e6))
                 if not args.quick else "the --quick inputs")
        for tkey, tlabel, _, cmds in tools:
            g["tools"].append(tkey)
            g["tool_labels"][tkey] = {"sfx": "sfx test", "sfx-baseline": "sfx test (baseline)", "unzip": "unzip -t",
                                      "7zz": "7zz t", "bsdtar": "bsdtar -x -O"}.get(tkey, tlabel)
        for key, label, path in cg_archives:
            if key not in cg_facts:
                continue
            row = dict(key=key, label={"mixed-6": "mixed, zip -6", "text-9": "text, zip -9"}[key],
                       output=cg_facts[key]["output"], per_mb={}, instructions={}, errors={})
            for tkey, _, _, cmds in tools:
                argv, _ = cmds["test"](path, None)
                ir, rc = callgrind(argv)
                if rc != 0:
                    row["errors"][tkey] = "failed"
                    continue
                row["instructions"][tkey] = ir
                row["per_mb"][tkey] = ir / (row["output"] / 1e6)
            log("  %s: %s" % (key, ", ".join("%s %.2fM/MB" % (t, v / 1e6) for t, v in row["per_mb"].items())))
            g["process"].append(row)
        cg_rows = []
        for key, label, path, entry in inmemory_rows(cg_archives, cg_facts):
            with zipfile.ZipFile(path) as z:
                size = z.getinfo(entry).file_size
            row = dict(label=label, output=size, per_byte={}, instructions={})
            crcs = ["crc-ours"] + (["crc-ours-baseline"] if args.baseline_inflate_bench else []) + \
                ["crc-zlib", "crc-libdeflate"]
            for prog in progs + (crcs if key == "text-9" else []):
                binary = ibench
                name = prog
                if prog.endswith("-baseline"):
                    binary, name = args.baseline_inflate_bench, prog[:-len("-baseline")]
                try:
                    ir, rc = callgrind([binary, "--runs", "1", "--only", name, path, entry], toggle="Bench*")
                except SystemExit:
                    continue
                if rc != 0:
                    continue
                if prog.startswith("crc-"):
                    report["crc"].setdefault("per_byte", {})[prog] = ir / row["output"]
                    continue
                row["instructions"][prog] = ir
                row["per_byte"][prog] = ir / row["output"]
            log("  %s: %s" % (label, ", ".join("%s %.2f/B" % (p, v) for p, v in row["per_byte"].items())))
            cg_rows.append(row)
        g["inmemory"] = cg_rows
        g["inmemory_programs"] = [p for p in progs if any(p in r["per_byte"] for r in cg_rows)]
        report["callgrind"] = g

    report["notes"].append("Full run took %.0f s." % (time.time() - started))
    md = render(report)
    out = args.output or os.path.join(build, "results.md")
    with open(out, "w") as f:
        f.write(md + "\n")
    with open(os.path.splitext(out)[0] + ".json", "w") as f:
        json.dump(report, f, indent=1, default=str)
    print(md)
    log("written: %s and %s" % (out, os.path.splitext(out)[0] + ".json"))


if __name__ == "__main__":
    main()
