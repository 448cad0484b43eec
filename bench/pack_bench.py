#!/usr/bin/env python3
"""Memory and time of `sfx pack` on a big folder.

Makes a folder of about SIZE MB (default 150) in a scratch folder: a few
hundred files, three in five English-like text that deflates to about a
third, the rest random bytes that do not deflate, in nested folders; then
packs it with every sfx binary given and prints the maximum resident set
size, the wall time and the CPU time of each (GNU time, /usr/bin/time -v).
The folder and the launchers are removed at the end.

    bench/pack_bench.py STUB SFX [SFX...] [--size MB] [--level N] [--dir DIR]

STUB is a launcher stub (build-win32/launcher-stub.exe); it also serves as
the folder's Setup.exe.
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

WORDS = ("install setup product file folder system windows program data config value the of and to in "
         "is for with that on by this be are from or as at an it not which have you your can will").split()


def make_folder(root, size_mb, stub):
    rng = random.Random(15)
    os.makedirs(root)
    shutil.copyfile(stub, os.path.join(root, "Setup.exe"))
    total, i, target = 0, 0, size_mb << 20
    while total < target:
        folder = os.path.join(root, "Product", "part%02d" % (i % 12), "sub%d" % (i % 3))
        os.makedirs(folder, exist_ok=True)
        size = rng.choice([2_000, 20_000, 200_000, 800_000, 1_500_000])
        if i % 5 < 3:
            lines, n = [], 0
            while n < size:
                line = " ".join(rng.choice(WORDS) for _ in range(12)) + "\n"
                lines.append(line)
                n += len(line)
            data, name = "".join(lines).encode()[:size], "doc%04d.txt" % i
        else:
            data, name = rng.randbytes(size), "blob%04d.bin" % i
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        total += len(data)
        i += 1
    return i + 1, total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("stub")
    parser.add_argument("sfx", nargs="+")
    parser.add_argument("--size", type=int, default=150, help="folder size in MB")
    parser.add_argument("--level", type=int, default=None, help="--level for pack (default: pack's own)")
    parser.add_argument("--dir", default=None, help="where the folder goes (default: $TMPDIR)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="pack-bench-", dir=args.dir)
    try:
        files, size = make_folder(os.path.join(work, "Big"), args.size, args.stub)
        print("folder: %d files, %d bytes" % (files, size))
        print("%-40s %12s %9s %9s %12s" % ("sfx", "max RSS KiB", "wall s", "CPU s", "launcher"))
        for n, sfx in enumerate(args.sfx):
            out = os.path.join(work, "out%d.exe" % n)
            command = ["/usr/bin/time", "-v", sfx, "pack", args.stub, os.path.join(work, "Big"), "-o", out]
            if args.level is not None:
                command += ["--level", str(args.level)]
            run = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            if run.returncode != 0:
                print("%s failed:\n%s" % (sfx, run.stderr), file=sys.stderr)
                continue
            field = lambda name: re.search(re.escape(name) + r": (.*)", run.stderr).group(1)
            wall = field("Elapsed (wall clock) time (h:mm:ss or m:ss)").split(":")
            seconds = sum(float(part) * 60 ** k for k, part in enumerate(reversed(wall)))
            cpu = float(field("User time (seconds)")) + float(field("System time (seconds)"))
            print("%-40s %12s %9.1f %9.1f %12d" % (sfx[-40:], field("Maximum resident set size (kbytes)"), seconds,
                                                    cpu, os.path.getsize(out)))
            os.remove(out)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
