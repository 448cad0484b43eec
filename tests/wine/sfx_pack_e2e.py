#!/usr/bin/env python3
"""sfx end to end under Wine: launchers packed by `sfx pack` run and install.

    sfx_pack_e2e.py --source DIR --work DIR --sfx PATH [--generator G] [--make-program M]

Needs what the wine_build test leaves in WORK: the x86-64 build folder, a
launcher (launcher-nosetup.exe, used as the stub: pack replaces the archive
it carries), the demo Setup.exe and the Wine prefix. It then
- packs an archive with the Linux sfx (PATH) and runs the launcher;
- builds sfx.exe in the same x86-64 build and, under Wine, checks the archive,
  extracts it with the progress bar (which the engine drives through a
  message-only window of sfx.exe), checks a bad archive, and packs a folder
  (zipped by sfx.exe itself) into a launcher that runs and installs too.
Exit code 0 on success, 1 on a failure, 77 when skipped.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import wine_run  # noqa: E402

SKIPPED = 77

# name -> (contents, method); names ending in "/" are folders.
ENTRIES = {
    "docs/": (b"", zipfile.ZIP_STORED),
    "docs/manual.txt": (b"Chapter 1\r\n" + bytes(range(32, 127)) * 400, zipfile.ZIP_DEFLATED),
    "data/noise.bin": (random.Random(7).randbytes(70000), zipfile.ZIP_STORED),
    "data/table.csv": (b"".join(b"%d;%d\r\n" % (i, i * i % 1009) for i in range(30000)), zipfile.ZIP_DEFLATED),
    "empty/": (b"", zipfile.ZIP_STORED),
}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write_archive(path, setup_exe):
    with zipfile.ZipFile(path, "w") as zf:
        zf.writestr(zipfile.ZipInfo("Setup.exe", (2024, 1, 2, 3, 4, 6)), read(setup_exe))
        for name, (data, method) in ENTRIES.items():
            info = zipfile.ZipInfo(name, (2023, 5, 6, 7, 8, 10))
            info.compress_type = method
            zf.writestr(info, data)


def write_folder(folder, setup_exe):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copyfile(setup_exe, os.path.join(folder, "Setup.exe"))
    for name, (data, _) in ENTRIES.items():
        path = os.path.join(folder, name)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def check_installed(temp, setup_exe, what):
    for name, (data, _) in ENTRIES.items():
        path = os.path.join(temp, name)
        if name.endswith("/"):
            check(os.path.isdir(path), "%s: folder %s was not created" % (what, name))
        else:
            check(os.path.isfile(path) and read(path) == data, "%s: %s missing or different" % (what, name))
    check(read(os.path.join(temp, "Setup.exe")) == read(setup_exe), "%s: Setup.exe differs" % what)
    check(not os.path.lexists(os.path.join(temp, "pc.dat")), "%s: pc.dat was left behind" % what)


def run_launcher(args, wine64, exe, name, setup_exe):
    root = os.path.join(args.work, "runs", name)
    shutil.rmtree(root, ignore_errors=True)
    temp = os.path.join(root, "temp")
    os.makedirs(temp)
    code, _ = wine_run.run(exe, os.path.join(args.work, "prefix"), temp, wine64)
    check(code == 0, "%s exited with %d" % (name, code))
    check_installed(temp, setup_exe, name)
    check(os.path.isfile(os.path.join(temp, "Setup.ran")), "%s: Setup.exe did not run" % name)
    print("%s: installed %d entries and started Setup.exe" % (name, len(ENTRIES) + 1))


def sfx_exe(args, wine64, sfx, *arguments):
    """Runs the Windows sfx.exe under Wine; returns (exit code, stdout, stderr)."""
    scratch = os.path.join(args.work, "runs", "sfx-exe-temp")
    os.makedirs(scratch, exist_ok=True)
    env = wine_run.wine_env(os.path.join(args.work, "prefix"), scratch)
    result = subprocess.run([wine64, sfx] + list(arguments), env=env, capture_output=True,
                            cwd=args.work, timeout=600)
    subprocess.run([wine_run.find_wineserver(wine64), "-w"], env=env, check=True)
    return result.returncode, result.stdout.decode("latin-1"), result.stderr.decode("latin-1")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--sfx", required=True, help="the Linux sfx")
    parser.add_argument("--generator")
    parser.add_argument("--make-program")
    args = parser.parse_args()

    wine64 = wine_run.find_wine64()
    if wine64 is None:
        print("skipped: wine64 not found")
        return SKIPPED
    build = os.path.join(args.work, "x86_64")
    stub = os.path.join(args.work, "launcher-nosetup.exe")
    setup_exe = os.path.join(args.work, "payloads", "Setup.exe")
    for needed in (build, stub, setup_exe):
        check(os.path.exists(needed), "%s is missing: run the wine_build test first" % needed)
    packs = os.path.join(args.work, "sfx")
    shutil.rmtree(packs, ignore_errors=True)
    os.makedirs(packs)
    archive = os.path.join(packs, "installer.zip")
    write_archive(archive, setup_exe)

    # The Linux tool packs, the Windows launcher installs.
    native = os.path.join(packs, "packed-native.exe")
    result = subprocess.run([args.sfx, "pack", stub, archive, "-o", native], capture_output=True, text=True)
    check(result.returncode == 0, "sfx pack failed: %s%s" % (result.stdout, result.stderr))
    run_launcher(args, wine64, native, "sfx-packed-native", setup_exe)

    # The Windows tool, built from the same sources with the same toolchain.
    subprocess.run(["cmake", "--build", build, "--target", "sfx", "-j2"], check=True, stdout=subprocess.DEVNULL)
    sfx = os.path.join(build, "sfx", "sfx.exe")
    win = wine_run.windows_path

    code, out, err = sfx_exe(args, wine64, sfx, "check", win(archive))
    check(code == 0 and "6 entries, no problems" in out, "sfx.exe check: %d\n%s%s" % (code, out, err))

    dest = os.path.join(packs, "extracted")
    code, out, err = sfx_exe(args, wine64, sfx, "extract", "--progress", win(archive), win(dest))
    check(code == 0, "sfx.exe extract: %d\n%s%s" % (code, out, err))
    check_installed(dest, setup_exe, "sfx.exe extract")
    bar = err.replace("\r", "\n")
    check("] 100% data\\table.csv" in bar,
          "sfx.exe extract drew no progress from the engine's messages:\n%s" % bar)
    steps = {line.split("]")[1].strip() for line in bar.splitlines() if "]" in line}
    check(len(steps) >= 5, "only %d progress steps: %r" % (len(steps), sorted(steps)))

    bad = os.path.join(packs, "bad.zip")
    with zipfile.ZipFile(bad, "w") as zf:
        zf.writestr("../escape.txt", b"out")
        zf.writestr(zipfile.ZipInfo("packed.bz2"), b"bzip2 " * 100, compress_type=zipfile.ZIP_BZIP2)
    code, out, err = sfx_exe(args, wine64, sfx, "check", win(bad))
    check(code == 1, "sfx.exe check of a bad archive: exit %d" % code)
    for line in ('"..\\escape.txt": name is absolute or leaves the destination folder',
                 '"packed.bz2": bzip2 (12) is not a method the launcher decodes',
                 'no "Setup.exe" at the top level'):
        check(line in out, "sfx.exe check did not report %r:\n%s" % (line, out))

    folder = os.path.join(packs, "installer")
    write_folder(folder, setup_exe)
    from_folder = os.path.join(packs, "packed-folder.exe")
    code, out, err = sfx_exe(args, wine64, sfx, "pack", win(stub), win(folder), "-o", win(from_folder))
    check(code == 0, "sfx.exe pack of a folder: %d\n%s%s" % (code, out, err))
    run_launcher(args, wine64, from_folder, "sfx-packed-by-sfx-exe", setup_exe)
    print("sfx.exe checked, extracted with %d progress steps, and packed a folder" % len(steps))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print("FAILED: %s" % failure)
        sys.exit(1)
