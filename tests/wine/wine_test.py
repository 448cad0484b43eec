#!/usr/bin/env python3
"""The Windows launcher end to end: cross-built with mingw-w64 at test time,
run under wine64, and the 32-bit deliverable checked as a PE image.

    wine_test.py COMMAND --source DIR --work DIR [--generator G] [--make-program M]

Commands:
  build             cross-build the x86-64 twin with two payloads made here
                    (launcher-full.exe, launcher-nosetup.exe) and prepare the
                    Wine prefix; the other wine_* commands need it
  extract-all       a run with Setup.exe in the archive
  no-setup          a run with an archive without Setup.exe, beside an
                    earlier installer's Setup.exe
  stale-pcdat       a run that finds a pc.dat of an earlier run
  pcdat-directory   a run that cannot create pc.dat (a directory of that name)
  pe32              cross-build the i686 deliverable and check its image
  skip MESSAGE      report a skipped test (exit code 77)
"""
import argparse
import calendar
import os
import random
import re
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pe_image  # noqa: E402
import wine_run  # noqa: E402

SKIPPED = 77

# A zone without summer time, so that the expected UTC times do not depend on
# the day the test runs, and with a half-hour offset that a conversion which
# ignores minutes would get wrong. A POSIX TZ string needs no tzdata.
TIME_ZONE = "IST-5:30"
TIME_ZONE_OFFSET = 5 * 3600 + 30 * 60

# The test archive: (name, DOS date and time, contents, method); a name ending
# in "/" is a directory entry. "data/" has no entry of its own, so the
# extractor has to create it on the way to data/nested/blob.bin; "empty/"
# holds nothing. The deflated entries run the cross-compiled inflate; the
# large one wraps the 32 KiB window several times.
STORED = zipfile.ZIP_STORED
DEFLATED = zipfile.ZIP_DEFLATED
ENTRIES = [
    ("readme.txt", (2021, 3, 4, 5, 6, 8), b"Read me first.\r\n" * 40, STORED),
    ("docs/", (2020, 1, 1, 0, 0, 0), b"", STORED),
    ("docs/manual.txt", (2019, 12, 31, 23, 59, 58), b"Chapter 1\r\n" + bytes(range(32, 127)) * 30, DEFLATED),
    ("data/nested/blob.bin", (2022, 7, 15, 12, 30, 0), random.Random(5).randbytes(100000), STORED),
    ("data/table.csv", (2018, 6, 7, 8, 9, 10),
     b"".join(b"%d;%d;row %d\r\n" % (i, i * i % 977, i) for i in range(20000)), DEFLATED),
    ("empty/", (2023, 5, 6, 7, 8, 10), b"", STORED),
    ("zero.bin", (1999, 12, 31, 12, 0, 0), b"", STORED),
]
SETUP_TIME = (2024, 2, 29, 10, 20, 30)

ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll"}
# The stub (the launcher with the empty archive) in bytes, at most.
STUB_SIZE_LIMIT = 32 * 1024

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
BASE_RELOCATION_DIRECTORY = 5


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# Building


def configure(args, build, toolchain, payload):
    command = ["cmake", "-S", args.source, "-B", build, "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(
        args.source, "cmake", toolchain), "-DLAUNCHER_PAYLOAD=" + payload, "-DLAUNCHER_TESTS=OFF"]
    if args.generator:
        command += ["-G", args.generator]
    if args.make_program:
        command += ["-DCMAKE_MAKE_PROGRAM=" + args.make_program]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def build_target(build, target):
    subprocess.run(["cmake", "--build", build, "--target", target, "-j2"], check=True, stdout=subprocess.DEVNULL)


def write_archive(path, setup_exe=None, extra=()):
    """Writes the test archive to path, via a temporary name
    so that the build sees one complete change."""
    with zipfile.ZipFile(path + ".tmp", "w") as zf:
        for name, when, data, method in ENTRIES + list(extra):
            info = zipfile.ZipInfo(name, when)
            info.compress_type = method
            zf.writestr(info, data)
        if setup_exe is not None:
            with open(setup_exe, "rb") as f:
                zf.writestr(zipfile.ZipInfo("Setup.exe", SETUP_TIME), f.read())
    os.replace(path + ".tmp", path)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def payload_resource(exe):
    """The bytes of resource "ZIP" 1; also checks that the type is the string
    "ZIP" (not a number) and that there is exactly one such resource."""
    resources = pe_image.load(exe).resources()
    zips = [key for key in resources if key[0] == "ZIP"]
    check(zips == [("ZIP", 1)], "%s: ZIP resources %r, expected exactly ('ZIP', 1)" % (exe, zips))
    check(len(resources[("ZIP", 1)]) == 1, "%s: resource ZIP/1 in several languages" % exe)
    return resources[("ZIP", 1)][0][1]


def build_launcher_with(build, payload_path, archive_maker, copy_to):
    """Writes a new payload, rebuilds the launcher and checks that the
    rebuilt image carries exactly that payload: the launcher depends on the
    payload file."""
    archive_maker(payload_path)
    build_target(build, "launcher")
    exe = os.path.join(build, "launcher.exe")
    check(payload_resource(exe) == read(payload_path),
          "%s does not carry the payload it was just rebuilt with" % exe)
    shutil.copyfile(exe, copy_to)


def check_hardening(exe):
    """ASLR and DEP: the flags, and the relocation table without which the
    loader keeps the preferred address whatever the flags say; no section
    both writable and executable."""
    image = pe_image.load(exe)
    flags = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT
    check(image.dll_characteristics & flags == flags,
          "%s: DllCharacteristics %#x lack DYNAMIC_BASE or NX_COMPAT" % (exe, image.dll_characteristics))
    check(not image.characteristics & IMAGE_FILE_RELOCS_STRIPPED, "%s: relocations stripped" % exe)
    check(len(image.directories) > BASE_RELOCATION_DIRECTORY and image.directories[BASE_RELOCATION_DIRECTORY][1] > 0,
          "%s: no base relocation table" % exe)
    for name, flags_of_section in image.section_flags():
        check(not (flags_of_section & IMAGE_SCN_MEM_EXECUTE and flags_of_section & IMAGE_SCN_MEM_WRITE),
              "%s: section %s is writable and executable" % (exe, name))


def command_build(args):
    wine64 = wine_run.find_wine64()
    build = os.path.join(args.work, "x86_64")
    payloads = os.path.join(args.work, "payloads")
    os.makedirs(payloads, exist_ok=True)
    payload = os.path.join(payloads, "x86_64.zip")
    if not os.path.exists(payload):
        write_archive(payload)
    configure(args, build, "mingw-x86_64.cmake", payload)
    build_target(build, "demo_setup")
    setup_exe = os.path.join(build, "Setup.exe")
    image = pe_image.load(setup_exe)
    check(image.subsystem == pe_image.SUBSYSTEM_WINDOWS_GUI, "the demo Setup.exe is no GUI program")
    build_launcher_with(build, payload, lambda p: write_archive(p, setup_exe),
                        os.path.join(args.work, "launcher-full.exe"))
    build_launcher_with(build, payload, lambda p: write_archive(p), os.path.join(args.work, "launcher-nosetup.exe"))
    check_hardening(os.path.join(args.work, "launcher-nosetup.exe"))
    # Kept apart from the launchers; the no-setup test plants a copy beside
    # them on purpose.
    shutil.copyfile(setup_exe, os.path.join(payloads, "Setup.exe"))
    wine_run.prepare_prefix(os.path.join(args.work, "prefix"), wine64)
    print("built launcher-full.exe and launcher-nosetup.exe; Wine prefix ready")


# Running under Wine


def fresh_run_folder(args, name):
    """<work>/runs/<name>/temp, empty; the trace goes beside it."""
    root = os.path.join(args.work, "runs", name)
    shutil.rmtree(root, ignore_errors=True)
    temp = os.path.join(root, "temp")
    os.makedirs(temp)
    return temp


def run_launcher(args, exe_name, temp):
    wine64 = wine_run.find_wine64()
    exe = os.path.join(args.work, exe_name)
    check(os.path.exists(exe), "%s is missing: run the wine_build test first" % exe)
    code, trace = wine_run.run(exe, os.path.join(args.work, "prefix"), temp, wine64, tz=TIME_ZONE, relay=True)
    print("%s exited with %d" % (exe_name, code))
    return code, trace


def unescape(text):
    """Undoes Wine's debugstr_a quoting of a string in a relay trace."""
    return re.sub(r"\\(x[0-9a-fA-F]{2}|.)",
                  lambda m: chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == "x" and len(m.group(1)) == 3
                  else {"n": "\n", "r": "\r", "t": "\t"}.get(m.group(1), m.group(1)), text)


# An argument in a relay line: a hexadecimal value, followed by the quoted
# string it points to when Wine knows it for a string.
ARGUMENT = re.compile(r'([0-9a-fA-F]+)( "((?:[^"\\]|\\.)*)")?(?:,|$)')


def relayed_calls(trace, function):
    """The calls of function in the trace: a list of (value, string) per
    call, string being None for an argument that is no string."""
    calls = []
    for line in trace.splitlines():
        m = re.search(r":Call %s\((.*)\) ret=[0-9a-fA-F]+$" % re.escape(function), line)
        if m:
            calls.append([(int(a.group(1), 16), unescape(a.group(3)) if a.group(2) else None)
                          for a in ARGUMENT.finditer(m.group(1))])
    return calls


def relayed_results(trace, function):
    return [int(m.group(1), 16) for m in re.finditer(r":Ret  %s\(\) retval=([0-9a-fA-F]+)" % re.escape(function),
                                                      trace)]


def files_below(folder):
    found = set()
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/") +
                      ("/" if name in dirs else ""))
    return found


def expected_tree(with_setup):
    """Every path the extraction leaves, directories with a trailing "/"."""
    tree = set()
    entries = [name for name, _, _, _ in ENTRIES] + (["Setup.exe"] if with_setup else [])
    for name in entries:
        parts = name.rstrip("/").split("/")
        for i in range(1, len(parts)):
            tree.add("/".join(parts[:i]) + "/")
        tree.add(name)
    return tree


def check_extracted(args, temp, with_setup):
    """Every entry is there with its contents and, for files, the entry's
    DOS time as last-write time, read as local time of the run's zone."""
    entries = list(ENTRIES)
    if with_setup:
        entries.append(("Setup.exe", SETUP_TIME, read(os.path.join(args.work, "payloads", "Setup.exe")), STORED))
    for name, when, data, _ in entries:
        path = os.path.join(temp, name)
        if name.endswith("/"):
            check(os.path.isdir(path), "directory %s was not created" % name)
            continue
        check(os.path.isfile(path), "%s was not extracted" % name)
        check(read(path) == data, "%s differs from the archive's entry" % name)
        expected = calendar.timegm(when + (0, 0, 0)) - TIME_ZONE_OFFSET
        actual = os.stat(path).st_mtime
        check(actual == expected, "%s: last-write time %r, expected %r (DOS time %r in %s)" %
              (name, actual, expected, when, TIME_ZONE))
    check(not os.path.lexists(os.path.join(temp, "pc.dat")), "pc.dat was left in the temporary folder")


def check_setup_started(temp, trace):
    calls = relayed_calls(trace, "shell32.ShellExecuteA")
    check(len(calls) == 1, "ShellExecuteA called %d times, expected once" % len(calls))
    (owner, _), (verb, _), (_, file), (params, _), (_, directory), (show, _) = calls[0]
    # The show command is an int in a 64-bit stack slot: the relay trace
    # prints the whole slot, whose upper half is undefined.
    show &= 0xFFFFFFFF
    check(owner == 0 and verb == 0 and params == 0 and show == 1,
          "ShellExecuteA(owner %#x, verb %#x, parameters %#x, show %d), expected 0, 0, 0, 1" %
          (owner, verb, params, show))
    check(file == wine_run.windows_path(temp) + "\\Setup.exe",
          "ShellExecuteA opened %r, expected Setup.exe in the temporary folder" % file)
    check(directory == wine_run.windows_path(temp) + "\\",
          "ShellExecuteA directory %r, expected the temporary folder %r" %
          (directory, wine_run.windows_path(temp) + "\\"))
    return relayed_results(trace, "shell32.ShellExecuteA")


def check_dll_search_restricted(trace):
    """The entry restricts the DLL search before the launcher runs: the
    first traced calls are SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)
    and SetDllDirectoryA("")."""
    traced = re.findall(r":Call (\S+?)\((.*)\) ret=", trace)
    names = [name for name, _ in traced]
    check(names[:2] == ["KERNEL32.SetDefaultDllDirectories", "KERNEL32.SetDllDirectoryA"],
          "the run began with %r" % names[:3])
    check(int(traced[0][1], 16) == 0x800, "SetDefaultDllDirectories(%s)" % traced[0][1])
    check(traced[1][1].endswith(' ""'), "SetDllDirectoryA(%s)" % traced[1][1])


def command_extract_all(args):
    temp = fresh_run_folder(args, "extract-all")
    code, trace = run_launcher(args, "launcher-full.exe", temp)
    check(code == 0, "exit code %d, expected 0" % code)
    check_extracted(args, temp, with_setup=True)
    check(files_below(temp) == expected_tree(True) | {"Setup.ran"},
          "unexpected contents of the temporary folder: %r" % sorted(files_below(temp) ^ expected_tree(True)))
    results = check_setup_started(temp, trace)
    check(results and results[0] > 32, "ShellExecuteA failed (%r)" % results)
    check_dll_search_restricted(trace)
    check(not relayed_calls(trace, "user32.MessageBoxA"), "a message box was shown")
    # Setup.exe reports its working directory and the files beside it; it
    # ran after the extraction had ended and pc.dat had gone.
    with open(os.path.join(temp, "Setup.ran"), "rb") as f:
        marker = f.read().decode("latin-1").split("\r\n")
    check(marker[0] == "Setup.exe ran in " + wine_run.windows_path(temp),
          "Setup.exe ran in another folder: %r" % marker[0])
    listed = [line[2:] for line in marker[2:] if line]
    files = sorted(name.replace("/", "\\") for name in expected_tree(True) if not name.endswith("/"))
    check(marker[1] == "Files beside it:" and listed == files,
          "Setup.exe saw %r, expected %r" % (listed, files))
    print("extracted %d entries; Setup.exe ran in the temporary folder" % len(files))


def command_no_setup(args):
    temp = fresh_run_folder(args, "no-setup")
    # Neither a Setup.exe beside the launcher nor one that an earlier
    # installer left in the temporary folder may be started in place of the
    # missing one: the launcher starts only a Setup.exe that this run has
    # extracted intact.
    planted = os.path.join(args.work, "Setup.exe")
    shutil.copyfile(os.path.join(args.work, "payloads", "Setup.exe"), planted)
    shutil.copyfile(planted, os.path.join(temp, "Setup.exe"))
    try:
        code, trace = run_launcher(args, "launcher-nosetup.exe", temp)
    finally:
        os.remove(planted)
    check(code == 0, "exit code %d, expected 0" % code)
    check_extracted(args, temp, with_setup=False)
    check(files_below(temp) == expected_tree(False) | {"Setup.exe"},
          "unexpected contents of the temporary folder: %r" %
          sorted(files_below(temp) ^ (expected_tree(False) | {"Setup.exe"})))
    check(not relayed_calls(trace, "shell32.ShellExecuteA"), "ShellExecuteA was called without a Setup.exe")
    check(not relayed_calls(trace, "user32.MessageBoxA"), "a message box was shown")
    print("extracted, no Setup.exe in the archive: nothing started, the earlier one left alone")


def command_stale_pcdat(args):
    temp = fresh_run_folder(args, "stale-pcdat")
    # Larger than the new copy, so that a copy written over it without
    # truncation would leave a tail that hides the archive's end record.
    with open(os.path.join(temp, "pc.dat"), "wb") as f:
        f.write(b"left over by an earlier run\n" * 20000)
    code, trace = run_launcher(args, "launcher-full.exe", temp)
    check(code == 0, "exit code %d, expected 0" % code)
    check_extracted(args, temp, with_setup=True)
    check_setup_started(temp, trace)
    check(os.path.isfile(os.path.join(temp, "Setup.ran")), "Setup.exe did not run")
    print("the old pc.dat was replaced, extracted from and deleted")


def command_pcdat_directory(args):
    temp = fresh_run_folder(args, "pcdat-directory")
    os.mkdir(os.path.join(temp, "pc.dat"))
    code, trace = run_launcher(args, "launcher-full.exe", temp)
    check(code == 1, "exit code %d, expected 1" % code)
    check(files_below(temp) == {"pc.dat/"}, "the run left %r" % sorted(files_below(temp)))
    check(not relayed_calls(trace, "shell32.ShellExecuteA"), "ShellExecuteA was called")
    boxes = relayed_calls(trace, "user32.MessageBoxA")
    check(len(boxes) == 1, "MessageBoxA called %d times, expected once" % len(boxes))
    (owner, _), (_, text), (_, caption), (style, _) = boxes[0]
    check(owner == 0, "the message box has an owner window %#x" % owner)
    check(caption == "Anwendungsfehler", "message box title %r" % caption)
    check(style == 0x2010, "message box style %#x, expected MB_ICONERROR | MB_TASKMODAL (0x2010)" % style)
    m = re.fullmatch(r"Exception EInOutError in Modul launcher-full\.exe bei ([0-9A-F]{16})\.\n"
                     r"Dateizugriff verweigert\.", text or "")
    check(m is not None, "message box text %r" % text)
    # The address is a code address of the program (Wine loads it at its
    # preferred base).
    image = pe_image.load(os.path.join(args.work, "launcher-full.exe"))
    address = int(m.group(1), 16)
    check(image.image_base <= address < image.image_base + image.size_of_image,
          "address %#x lies outside the program's image" % address)
    print("message box: %r / %r; exit code 1" % (caption, text))


# The 32-bit deliverable


def imports_of(objdump, exe):
    listing = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    return sorted(name.lower() for name in re.findall(r"DLL Name: (\S+)", listing))


def command_pe32(args):
    build = os.path.join(args.work, "i686")
    payloads = os.path.join(args.work, "payloads")
    os.makedirs(payloads, exist_ok=True)
    payload = os.path.join(payloads, "i686.zip")
    # First the smallest archive there is (an end record alone): the image
    # then is the launcher itself.
    empty = lambda p: zipfile.ZipFile(p, "w").close()  # noqa: E731
    empty(payload)
    configure(args, build, "mingw-i686.cmake", payload)
    exe = os.path.join(build, "launcher.exe")
    stub = os.path.join(args.work, "launcher-i686-stub.exe")
    build_launcher_with(build, payload, empty, stub)
    stub_size = os.path.getsize(stub)
    # Then a real payload, with data that no section alignment hides.
    extra = [("noise.bin", (2001, 2, 3, 4, 5, 6), random.Random(32).randbytes(4099), STORED)]
    build_launcher_with(build, payload, lambda p: write_archive(p, extra=extra),
                        os.path.join(args.work, "launcher-i686.exe"))

    image = pe_image.load(exe)
    check(image.magic == pe_image.PE32_MAGIC, "not PE32 (optional header magic %#x)" % image.magic)
    check(image.machine == pe_image.MACHINE_I386, "machine %#x, expected i386" % image.machine)
    check(image.subsystem == pe_image.SUBSYSTEM_WINDOWS_GUI, "subsystem %d, expected GUI (2)" % image.subsystem)
    check(payload_resource(exe) == read(payload), "resource ZIP/1 differs from the payload")
    manifests = image.resources().get((24, 1))
    check(manifests is not None and b'level="asInvoker"' in manifests[0][1],
          "no manifest requesting asInvoker (RT_MANIFEST 1)")
    dlls = imports_of(args.objdump, exe)
    check(set(dlls) <= ALLOWED_IMPORTS, "imports from %r" % sorted(set(dlls) - ALLOWED_IMPORTS))
    # The import directory itself, as the loader reads it (objdump finds the
    # tables by the section's name even when the directory entry is empty):
    # all four DLLs.
    loaded = image.imported_dlls()
    check(sorted(loaded) == sorted(ALLOWED_IMPORTS),
          "the import directory names %r, expected %r" % (loaded, sorted(ALLOWED_IMPORTS)))
    check_hardening(stub)
    check(stub_size <= STUB_SIZE_LIMIT, "the stub has %d bytes, more than %d" % (stub_size, STUB_SIZE_LIMIT))
    size = os.path.getsize(exe)
    print("i686 launcher: PE32, GUI subsystem, imports %s" % ", ".join(dlls))
    print("i686 launcher size: %d bytes with a %d-byte payload; %d bytes (%.1f KiB) with the empty "
          "22-byte archive" % (size, os.path.getsize(payload), stub_size, stub_size / 1024))


COMMANDS = {
    "build": command_build,
    "extract-all": command_extract_all,
    "no-setup": command_no_setup,
    "stale-pcdat": command_stale_pcdat,
    "pcdat-directory": command_pcdat_directory,
    "pe32": command_pe32,
}


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "skip":
        print("SKIPPED: " + " ".join(sys.argv[2:]))
        return SKIPPED
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=sorted(COMMANDS))
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--generator")
    parser.add_argument("--make-program")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    try:
        COMMANDS[args.command](args)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
