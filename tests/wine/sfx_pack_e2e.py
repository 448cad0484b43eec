#!/usr/bin/env python3
"""sfx end to end under Wine: launchers packed by `sfx pack` run and install.

    sfx_pack_e2e.py --source DIR --work DIR --sfx PATH [--generator G] [--make-program M]

Needs what the wine_build test leaves in WORK: the x86-64 build folder, a
launcher (launcher-nosetup.exe, used as the stub: pack replaces the archive
it carries), the demo Setup.exe and the Wine prefix. It then
- packs an archive with the Linux sfx (PATH) and runs the launcher;
- packs it again with an icon and version information, which a small
  program built here reads back under Wine through the Windows API
  (GetFileVersionInfoA, VerQueryValueA, LookupIconIdFromDirectoryEx,
  CreateIconFromResourceEx, LoadImageA, ExtractIconExA), and runs that
  launcher too;
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
import struct
import subprocess
import sys
import zipfile
import zlib

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


# The version information given to pack, and what the Windows API must read
# back from the launcher. The command line's FileVersion replaces the file's.
VERSION_FILE = ("# the launcher's version information\n"
                "CompanyName = Example Software Ltd\n"
                "FileDescription=Example installer\n"
                "FileVersion=9.9\n"
                "ProductName=Example\n")
VERSION_ARGS = ["FileVersion=1.2.3.4", "ProductVersion=1.2", "LegalCopyright=\u00a9 2026 Example Software Ltd",
                "OriginalFilename=ExampleSetup.exe"]
VERSION_EXPECTED = [
    "fixed feef04bd file 1.2.3.4 product 1.2.0.0 os 40004 type 1",
    "translation 0409 04b0",
    "CompanyName=Example Software Ltd",
    "FileDescription=Example installer",
    "FileVersion=1.2.3.4",
    "LegalCopyright=\xa9 2026 Example Software Ltd",  # in code page 1252, as VerQueryValueA gives it
    "OriginalFilename=ExampleSetup.exe",
    "ProductName=Example",
    "ProductVersion=1.2",
]

PROBE_SOURCE = r"""#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
/* Prints what Windows reads of a program's version information and icon. */
int main(int argc, char** argv) {
    const char* path = argv[1];
    const char* keys[] = {"CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                          "OriginalFilename", "ProductName", "ProductVersion"};
    DWORD ignored = 0, size = GetFileVersionInfoSizeA(path, &ignored);
    void* info = malloc(size ? size : 1);
    if (size == 0 || !GetFileVersionInfoA(path, 0, size, info)) { printf("no version information\n"); return 1; }
    VS_FIXEDFILEINFO* f; UINT n;
    if (VerQueryValueA(info, "\\", (void**)&f, &n) && n >= sizeof *f)
        printf("fixed %08lx file %u.%u.%u.%u product %u.%u.%u.%u os %lx type %lx\n", f->dwSignature,
               HIWORD(f->dwFileVersionMS), LOWORD(f->dwFileVersionMS), HIWORD(f->dwFileVersionLS),
               LOWORD(f->dwFileVersionLS), HIWORD(f->dwProductVersionMS), LOWORD(f->dwProductVersionMS),
               HIWORD(f->dwProductVersionLS), LOWORD(f->dwProductVersionLS), f->dwFileOS, f->dwFileType);
    WORD* t;
    if (!VerQueryValueA(info, "\\VarFileInfo\\Translation", (void**)&t, &n) || n < 4) { printf("no translation\n"); return 1; }
    printf("translation %04x %04x\n", t[0], t[1]);
    for (int i = 0; i < 8; i++) {
        char query[128]; char* value;
        snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", t[0], t[1], keys[i]);
        if (VerQueryValueA(info, query, (void**)&value, &n) && n > 0) printf("%s=%s\n", keys[i], value);
    }
    HMODULE m = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC group = FindResourceA(m, MAKEINTRESOURCEA(1), (LPCSTR)RT_GROUP_ICON);
    if (group == NULL) { printf("no icon group\n"); return 1; }
    BYTE* directory = (BYTE*)LockResource(LoadResource(m, group));
    for (int want = 16; want <= 32; want += 16) {
        int id = LookupIconIdFromDirectoryEx(directory, TRUE, want, want, LR_DEFAULTCOLOR);
        HRSRC image = FindResourceA(m, MAKEINTRESOURCEA(id), (LPCSTR)RT_ICON);
        if (image == NULL) { printf("icon %d: image %d not found\n", want, id); continue; }
        DWORD bytes = SizeofResource(m, image);
        HICON icon = CreateIconFromResourceEx((BYTE*)LockResource(LoadResource(m, image)), bytes, TRUE, 0x00030000,
                                              want, want, LR_DEFAULTCOLOR);
        ICONINFO ii; BITMAP bm;
        if (icon == NULL || !GetIconInfo(icon, &ii) || !GetObjectA(ii.hbmColor ? ii.hbmColor : ii.hbmMask, sizeof bm, &bm)) {
            printf("icon %d: image %d of %lu bytes does not load\n", want, id, bytes);
            continue;
        }
        printf("icon %d: image %d of %lu bytes, %ldx%ld\n", want, id, bytes, bm.bmWidth, bm.bmHeight);
    }
    printf("LoadImageA %s\n", LoadImageA(m, MAKEINTRESOURCEA(1), IMAGE_ICON, 32, 32, 0) ? "ok" : "failed");
    printf("ExtractIconExA %u\n", ExtractIconExA(path, -1, NULL, NULL, 0));
    HRSRC manifest = FindResourceA(m, MAKEINTRESOURCEA(1), (LPCSTR)RT_MANIFEST);
    const char* text = manifest ? (const char*)LockResource(LoadResource(m, manifest)) : NULL;
    int asInvoker = text != NULL && strstr(text, "level=\"asInvoker\"") != NULL;
    printf("manifest %s\n", asInvoker ? "asInvoker" : "missing");
    return 0;
}
"""


def png(width, height, rgba):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + rgba * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def bitmap(width, height, bgra):
    """A 32-bit icon bitmap: header (height doubled: colours, then mask), colours, an all-opaque mask."""
    mask_row = (width + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, width, 2 * height, 1, 32, 0, width * height * 4, 0, 0, 0, 0)
    return header + bgra * (width * height) + b"\0" * (mask_row * height)


def write_icon(path):
    """An icon of a 16x16 bitmap and a 32x32 PNG image; returns the images."""
    images = [(16, bitmap(16, 16, b"\x20\x40\xc0\xff")), (32, png(32, 32, b"\xc0\x40\x20\xff"))]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in images:
        data += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, "wb") as f:
        f.write(data + b"".join(image for _, image in images))
    return images


def check_identity(args, wine64, sfx, stub, archive, packs):
    """A launcher packed with an icon and version information: what the
    Windows API reads of them."""
    icon = os.path.join(packs, "example.ico")
    images = write_icon(icon)
    version_file = os.path.join(packs, "version.txt")
    with open(version_file, "w", encoding="utf-8") as f:
        f.write(VERSION_FILE)
    launcher = os.path.join(packs, "packed-identity.exe")
    command = [sfx, "pack", stub, archive, "-o", launcher, "--icon", icon, "--version-info-file", version_file]
    for setting in VERSION_ARGS:
        command += ["--version-info", setting]
    result = subprocess.run(command, capture_output=True, text=True)
    check(result.returncode == 0, "sfx pack with icon and version: %s%s" % (result.stdout, result.stderr))
    print(" ".join(os.path.basename(a) if os.path.isabs(a) else a for a in command[1:]))
    print(result.stdout, end="")

    gcc = shutil.which("x86_64-w64-mingw32-gcc")
    check(gcc is not None, "x86_64-w64-mingw32-gcc not found")
    source = os.path.join(packs, "identity-probe.c")
    probe = os.path.join(packs, "identity-probe.exe")
    with open(source, "w") as f:
        f.write(PROBE_SOURCE)
    subprocess.run([gcc, "-O1", "-o", probe, source, "-lversion", "-lgdi32", "-luser32", "-lshell32"], check=True)
    code, said = run_probe(args, wine64, probe, launcher)
    print("\n".join("  probe: " + line for line in said))
    expected = VERSION_EXPECTED + [
        "icon 16: image 1 of %d bytes, 16x16" % len(images[0][1]),
        "icon 32: image 2 of %d bytes, 32x32" % len(images[1][1]),
        "LoadImageA ok",
        "ExtractIconExA 1",
        "manifest asInvoker",
    ]
    check(code == 0 and said == expected,
          "the probe read from the launcher:\n%s\nexpected:\n%s" % ("\n".join(said), "\n".join(expected)))
    return launcher, probe, expected


def run_probe(args, wine64, probe, launcher):
    """The probe's exit code and lines about the launcher."""
    env = wine_run.wine_env(os.path.join(args.work, "prefix"), os.path.dirname(probe))
    result = subprocess.run([wine64, probe, wine_run.windows_path(launcher)], env=env, capture_output=True,
                            timeout=300)
    subprocess.run([wine_run.find_wineserver(wine64), "-w"], env=env, check=True)
    return result.returncode, result.stdout.decode("latin-1").replace("\r", "").splitlines()


def read_back(sfx, launcher, archive, packs):
    """The packed launcher read back through its archive with check, list,
    test and unpack; unpack gives the archive byte for byte."""
    shown = launcher + " (its archive)"
    for command in ("check", "list", "test"):
        result = subprocess.run([sfx, command, launcher], capture_output=True, text=True)
        check(result.returncode == 0, "sfx %s of the launcher: %d\n%s%s" % (command, result.returncode,
                                                                           result.stdout, result.stderr))
        check("pc.dat" not in result.stdout + result.stderr, "sfx %s names its scratch copy" % command)
    result = subprocess.run([sfx, "check", launcher], capture_output=True, text=True)
    check(shown + ": " in result.stdout, "sfx check does not name the launcher: %s" % result.stdout)
    unpacked = os.path.join(packs, "unpacked.zip")
    result = subprocess.run([sfx, "unpack", launcher, "-o", unpacked], capture_output=True, text=True)
    check(result.returncode == 0, "sfx unpack: %s%s" % (result.stdout, result.stderr))
    check(read(unpacked) == read(archive), "sfx unpack did not give the packed archive byte for byte")
    print("the packed launcher reads back: check, list, test, and unpack byte for byte")


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
    read_back(args.sfx, native, archive, packs)
    run_launcher(args, wine64, native, "sfx-packed-native", setup_exe)
    identity, probe, probed = check_identity(args, wine64, args.sfx, stub, archive, packs)
    run_launcher(args, wine64, identity, "sfx-packed-identity", setup_exe)
    print("icon and version information: %d bytes more than the launcher without them"
          % (os.path.getsize(identity) - os.path.getsize(native)))

    # The Windows tool and the stub, built from the same sources with the
    # same toolchain. Packed into the stub, the archive makes a launcher of
    # the same size as packed into a launcher that carried another archive:
    # nothing of the old one stays.
    subprocess.run(["cmake", "--build", build, "--target", "sfx", "launcher-stub", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    sfx = os.path.join(build, "sfx", "sfx.exe")
    new_stub = os.path.join(build, "launcher-stub.exe")
    into_stub = os.path.join(packs, "packed-stub.exe")
    result = subprocess.run([args.sfx, "pack", new_stub, archive, "-o", into_stub], capture_output=True, text=True)
    check(result.returncode == 0 and "x86-64 launcher: 64-bit Windows only" in result.stdout,
          "sfx pack into the stub: %s%s" % (result.stdout, result.stderr))
    sizes = (os.path.getsize(new_stub), os.path.getsize(archive), os.path.getsize(into_stub), os.path.getsize(native))
    check(sizes[2] == sizes[3] and sizes[2] - sizes[0] - sizes[1] < 1024,
          "stub %d + archive %d bytes, packed into the stub %d, into the launcher %d" % sizes)
    print("stub %d + archive %d bytes: packed into the stub %d, into the launcher %d bytes" % sizes)
    run_launcher(args, wine64, into_stub, "sfx-packed-stub", setup_exe)
    stub = new_stub
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
    with open(os.path.join(folder, "docs", "Caf\u00e9.txt"), "wb") as f:
        f.write(b"accented name")
    from_folder = os.path.join(packs, "packed-folder.exe")
    # sfx.exe takes its arguments in the ANSI code page: the copyright sign
    # arrives in the version information as U+00A9 all the same.
    code, out, err = sfx_exe(args, wine64, sfx, "pack", win(stub), win(folder), "-o", win(from_folder),
                             "--icon", win(os.path.join(packs, "example.ico")), "--version-info", VERSION_ARGS[2])
    check(code == 0, "sfx.exe pack of a folder: %d\n%s%s" % (code, out, err))
    code, said = run_probe(args, wine64, probe, from_folder)
    copyright = [line for line in VERSION_EXPECTED if line.startswith("LegalCopyright=")]
    for line in copyright + probed[-5:]:
        check(line in said, "sfx.exe pack --icon --version-info: the probe did not read %r:\n%s" % (line, "\n".join(said)))
    run_launcher(args, wine64, from_folder, "sfx-packed-by-sfx-exe", setup_exe)
    cafe = os.path.join(args.work, "runs", "sfx-packed-by-sfx-exe", "temp", "docs", "Caf\u00e9.txt")
    check(os.path.isfile(cafe) and read(cafe) == b"accented name", "sfx.exe pack: docs\\Caf\u00e9.txt did not arrive")
    print("sfx.exe checked, extracted with %d progress steps, and packed a folder" % len(steps))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as failure:
        print("FAILED: %s" % failure)
        sys.exit(1)
