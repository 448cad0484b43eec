#!/usr/bin/env python3
"""Runs a Windows build of the launcher under wine64, in a Wine prefix of its
own and with a temporary directory of its own.

Wine does not take TMP and TEMP from the Unix environment: it sets both from
the registry (HKCU\\Environment). The prefix prepared here stores them as
REG_EXPAND_SZ "%LAUNCHER_TEMP%", so every run names its temporary directory
through the Unix variable LAUNCHER_TEMP (a Windows path, Z: being the Unix
root). The registry also limits Wine's relay trace to the two calls a run is
judged by (MessageBoxA, ShellExecuteA, and the two calls that restrict the
DLL search), so that a run with relay=True logs their arguments and results
and little else.

Usable as a module (the Wine tests) and from the command line:
    wine_run.py --prefix DIR --temp DIR [--tz TZ] [--relay] LAUNCHER.EXE
"""
import argparse
import os
import shutil
import subprocess
import sys

# Wine matches the module part against the DLL's own export name, which is
# upper case for kernel32.
RELAYED_CALLS = ("user32.MessageBoxA;shell32.ShellExecuteA;"
                 "KERNEL32.SetDefaultDllDirectories;KERNEL32.SetDllDirectoryA")


def find_wine64():
    """The wine64 loader: $WINE64, Debian's /usr/lib/wine/wine64, or PATH."""
    for candidate in (os.environ.get("WINE64"), "/usr/lib/wine/wine64", shutil.which("wine64")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def find_wineserver(wine64):
    here = os.path.dirname(wine64)
    for candidate in (os.path.join(here, "wineserver64"), os.path.join(here, "wineserver"),
                      shutil.which("wineserver")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise RuntimeError("no wineserver beside " + wine64)


def windows_path(path):
    """The Windows name of a Unix path (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(prefix, temp=None, tz=None, relay=False, keep_display=False):
    env = dict(os.environ)
    env["WINEPREFIX"] = os.path.abspath(prefix)
    env["WINEDEBUG"] = "-all,+relay" if relay else "-all"
    # No Mono or Gecko download offers while the prefix is created.
    env["WINEDLLOVERRIDES"] = "mscoree=;mshtml="
    if not keep_display:
        # Without a display MessageBoxA fails at once (returning -1) instead
        # of waiting for a click, which is what an unattended run needs.
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    if temp is not None:
        env["LAUNCHER_TEMP"] = windows_path(temp)
    if tz is not None:
        env["TZ"] = tz
    return env


def prepare_prefix(prefix, wine64):
    """Creates the prefix on first use (some seconds) and sets it up; later
    calls find the settings recorded in the marker and return at once."""
    marker = os.path.join(prefix, ".launcher-prefix-ready")
    settings = [
        ("HKCU\\Environment", "TEMP", "REG_EXPAND_SZ", "%LAUNCHER_TEMP%"),
        ("HKCU\\Environment", "TMP", "REG_EXPAND_SZ", "%LAUNCHER_TEMP%"),
        ("HKCU\\Software\\Wine\\Debug", "RelayInclude", "REG_SZ", RELAYED_CALLS),
    ]
    record = repr(settings) + "\n"
    if os.path.exists(marker):
        with open(marker) as f:
            if f.read() == record:
                return
    os.makedirs(prefix, exist_ok=True)
    env = wine_env(prefix)
    for key, name, kind, value in settings:
        subprocess.run([wine64, "reg", "add", key, "/v", name, "/t", kind, "/d", value, "/f"],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([find_wineserver(wine64), "-w"], env=env, check=True)
    with open(marker, "w") as f:
        f.write(record)


def run(exe, prefix, temp, wine64, tz=None, relay=False, log_path=None, keep_display=False):
    """Runs exe and waits until every process it started has ended (the shell
    starts Setup.exe after the launcher has returned). Returns the launcher's
    exit code and the trace (empty without relay)."""
    env = wine_env(prefix, temp, tz, relay, keep_display)
    log_path = log_path or os.path.join(os.path.dirname(os.path.abspath(temp)), "wine.log")
    # The trace goes to a file: Setup.exe inherits the stream and may still
    # write to it after the launcher has ended.
    with open(log_path, "w") as log:
        code = subprocess.run([wine64, os.path.abspath(exe)], env=env, stdout=log, stderr=log,
                              cwd=os.path.dirname(os.path.abspath(temp))).returncode
    subprocess.run([find_wineserver(wine64), "-w"], env=env, check=True)
    with open(log_path, errors="replace") as log:
        return code, log.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--temp", required=True, help="fresh folder to serve as TMP and TEMP")
    parser.add_argument("--tz", help="time zone of the run (TZ)")
    parser.add_argument("--relay", action="store_true", help="log MessageBoxA and ShellExecuteA")
    parser.add_argument("exe")
    args = parser.parse_args()
    wine64 = find_wine64()
    if wine64 is None:
        sys.exit("wine64 not found (Debian: apt-get install wine64)")
    prepare_prefix(args.prefix, wine64)
    os.makedirs(args.temp, exist_ok=True)
    code, trace = run(args.exe, args.prefix, args.temp, wine64, args.tz, args.relay, keep_display=True)
    if args.relay:
        sys.stdout.write("".join(line + "\n" for line in trace.splitlines() if ":Call user32." in line
                                 or ":Call shell32." in line or ":Ret  user32." in line
                                 or ":Ret  shell32." in line))
    return code


if __name__ == "__main__":
    sys.exit(main())
