#!/usr/bin/env python3
"""Zips the demo installer: demo/common plus demo/<backend>, Setup.exe stored,
everything else deflated when the launcher decodes deflate, with a directory
entry for each folder. Extra files may be named as SRC=NAME arguments."""
import os
import sys
import time
import zipfile

METHOD_FOR_FILES = zipfile.ZIP_DEFLATED


def add(zf, path, name):
    st = os.stat(path)
    t = time.localtime(int(os.environ.get("SOURCE_DATE_EPOCH", st.st_mtime)))
    info = zipfile.ZipInfo(name, date_time=t[:6])
    info.compress_type = zipfile.ZIP_STORED if name == "Setup.exe" else METHOD_FOR_FILES
    info.external_attr = 0o644 << 16
    with open(path, "rb") as f:
        zf.writestr(info, f.read())


def main():
    demo, backend, out = sys.argv[1:4]
    extras = sys.argv[4:]
    with zipfile.ZipFile(out + ".tmp", "w") as zf:
        for root in (os.path.join(demo, "common"), os.path.join(demo, backend)):
            for dirpath, dirnames, filenames in sorted(os.walk(root)):
                dirnames.sort()
                rel = os.path.relpath(dirpath, root)
                if rel != ".":
                    zf.writestr(zipfile.ZipInfo(rel.replace(os.sep, "/") + "/",
                                                date_time=(2024, 1, 2, 3, 4, 6)), b"")
                for fn in sorted(filenames):
                    name = fn if rel == "." else rel.replace(os.sep, "/") + "/" + fn
                    add(zf, os.path.join(dirpath, fn), name)
        for extra in extras:
            src, name = extra.split("=", 1)
            add(zf, src, name)
    os.replace(out + ".tmp", out)


if __name__ == "__main__":
    main()
