"""Deterministic inputs of the peer benchmark (see bench/README.md).

Every file is made by seeded generators (Python's random.Random, whose
sequences are fixed across versions) and zipped by Info-ZIP zip with fixed
times and without extra attributes, names fed in sorted order, so the archives
are the same on every machine that has the same zip and zlib. Nothing is
downloaded; the only outside input is the third-party corpus in ../shared,
whose entries are copied (raw, byte for byte) into the cache folder.

Sets:
  mixed  about 100 MB of installer-like content in many files of mixed sizes
         (a few bytes to several MB) in subfolders: English-like text,
         C/C++-like source, executable-like binaries with x86-like instruction
         patterns, tables and relocation-like data, and already-compressed
         data (zlib-compressed blocks and random blocks); zipped -6 and -0
  text   50 MB of English-like text in one file, zipped -9
  small  20,000 files of 1 to 4 KB in 200 folders, zipped -6
  legacy per method 1 to 6, the corpus's largest entry of that method, repeated
         under new names up to about 6 MB of output (a single copy is too
         short to time a process)
"""

import hashlib
import os
import random
import struct
import subprocess
import zipfile
import zlib

GENERATOR_VERSION = "1"
FIXED_TIME = 1704110400  # 2024-01-01 12:00:00 UTC, the time of every file

ENGLISH = """the of and to a in is that for it as was with be by on not he this are or his from at which but
have an they you were her she there been one all we their has would when if so no will more can out
up into do said what other its about time them some could him than only then also new first these two
may any like now my such make over our even most me state after very through back years program file
files setup install installer installation folder directory system windows user data version update
default option options select click next finish cancel license agreement software company copyright
before each where while must should need between under same because during without again against
however another number part place case point group problem fact work world life day hand long great
little own old right big high different small large following able important public early young
information service services support product products network computer documentation release notes""".split()

SYLLABLES = ("ar al an ble ca co com con de di en er es in ing ion is la le li lo ma me mi na ne ni "
             "no or pa per pre pro ra re ri ro sa se si ta te ter ti to tion tu un ver").split()


class Generator:
    def __init__(self, seed):
        self.r = random.Random(seed)
        r = self.r
        rare = set()
        while len(rare) < 4000:
            rare.add("".join(r.choice(SYLLABLES) for _ in range(r.randint(2, 4))))
        self.words = ENGLISH + sorted(rare)
        # Zipf-like frequencies: the common words come first.
        self.word_cum = []
        total = 0.0
        for i in range(len(self.words)):
            total += 1.0 / (i + 2.7)
            self.word_cum.append(total)
        idents = set()
        while len(idents) < 3000:
            parts = [r.choice(SYLLABLES) for _ in range(r.randint(1, 3))]
            idents.add("_".join(parts) if r.random() < 0.5 else parts[0] + "".join(p.title() for p in parts[1:]))
        self.idents = sorted(idents)
        self.ident_cum = []
        total = 0.0
        for i in range(len(self.idents)):
            total += 1.0 / (i + 5)
            self.ident_cum.append(total)
        self._make_instruction_pool()

    # ---- text ----
    def text(self, size):
        r = self.r
        out = []
        length = 0
        while length < size:
            words = r.choices(self.words, cum_weights=self.word_cum, k=min(4096, (size - length) // 5 + 8))
            at = 0
            parts = []
            while at < len(words):
                n = r.randint(4, 22)
                sentence = words[at:at + n]
                at += n
                if not sentence:
                    break
                sentence[0] = sentence[0].capitalize()
                if len(sentence) > 6 and r.random() < 0.4:
                    k = r.randint(2, len(sentence) - 2)
                    sentence[k] += ","
                parts.append(" ".join(sentence) + r.choice((". ", ". ", ". ", ".\n\n", "? ", ".\n")))
            chunk = "".join(parts)
            out.append(chunk)
            length += len(chunk)
        return "".join(out).encode("ascii")[:size]

    # ---- C/C++-like source ----
    def _ident(self, k=1):
        return self.r.choices(self.idents, cum_weights=self.ident_cum, k=k)

    def source(self, size):
        r = self.r
        types = ["int", "unsigned", "size_t", "uint32_t", "uint8_t*", "const char*", "bool", "void*", "long",
                 "std::string", "struct entry*"]
        out = ['#include "%s.h"\n#include <%s>\n\n' % tuple(self._ident(1) + [r.choice(["cstdint", "cstring", "vector", "string", "stdio.h"])])]
        length = len(out[0])
        while length < size:
            name = "_".join(self._ident(2))
            ps = ", ".join("%s %s" % (r.choice(types), a) for a in self._ident(r.randint(0, 4)))
            lines = []
            if r.random() < 0.6:
                lines.append("/* %s */" % self.text(r.randint(30, 160)).decode().replace("\n", " ").replace("*/", "").strip())
            lines.append("static %s %s(%s)\n{" % (r.choice(types), name, ps))
            depth = 1
            for _ in range(r.randint(3, 30)):
                a, b, c = self._ident(3)
                kind = r.random()
                pad = "    " * depth
                if kind < 0.25:
                    lines.append("%s%s = %s(%s, %d);" % (pad, a, b, c, r.randint(0, 64)))
                elif kind < 0.4:
                    lines.append("%s%s %s = %s->%s[%s];" % (pad, r.choice(types), a, b, c, r.choice(["i", "n", "0", "k + 1"])))
                elif kind < 0.5 and depth < 4:
                    lines.append("%sfor (%s i = 0; i < %s; i++) {" % (pad, r.choice(["int", "size_t"]), a))
                    depth += 1
                elif kind < 0.62 and depth < 4:
                    lines.append("%sif (%s %s %s) {" % (pad, a, r.choice(["==", "!=", "<", ">=", "&&"]), b))
                    depth += 1
                elif kind < 0.75 and depth > 1:
                    depth -= 1
                    lines.append("    " * depth + "}")
                elif kind < 0.85:
                    lines.append("%sif (!%s)\n%s    return %s;" % (pad, a, pad, r.choice(["-1", "0", "false", "nullptr", "ERROR_" + b.upper()])))
                elif kind < 0.93:
                    lines.append("%s// %s" % (pad, self.text(r.randint(20, 70)).decode().replace("\n", " ").strip()))
                else:
                    lines.append('%sprintf("%s: %%d\\n", %s);' % (pad, b, c))
            while depth > 1:
                depth -= 1
                lines.append("    " * depth + "}")
            lines.append("    return %s;\n}\n\n" % r.choice(["0", "result", "true", self._ident(1)[0]]))
            chunk = "\n".join(lines)
            out.append(chunk)
            length += len(chunk)
        return "".join(out).encode("ascii")[:size]

    # ---- x86-like machine code ----
    def _make_instruction_pool(self):
        # Instruction forms with their weights; immediates and displacements
        # are drawn as a compiler would leave them (small multiples of 4,
        # registers in the ModRM byte).
        r = self.r
        pool = []
        disp = [0x04, 0x08, 0x0C, 0x10, 0x14, 0x18, 0x1C, 0x20, 0xF8, 0xF4, 0xF0, 0xEC, 0xE8, 0xFC]
        for _ in range(6000):
            k = r.random()
            if k < 0.22:
                op = bytes([0x8B, r.choice([0x45, 0x4D, 0x55, 0x5D, 0x75, 0x7D]), r.choice(disp)])  # mov r32,[ebp+d8]
            elif k < 0.34:
                op = bytes([0x89, r.choice([0x45, 0x4D, 0x55, 0x5D]), r.choice(disp)])  # mov [ebp+d8],r32
            elif k < 0.42:
                op = bytes([r.choice([0x50, 0x51, 0x52, 0x53, 0x56, 0x57])])  # push r32
            elif k < 0.48:
                op = bytes([r.choice([0x58, 0x59, 0x5A, 0x5B, 0x5E, 0x5F])])  # pop r32
            elif k < 0.56:
                op = bytes([0x8B, r.choice([0xC1, 0xC8, 0xD0, 0xF0, 0xF8, 0xC6, 0xCE])])  # mov r32,r32
            elif k < 0.62:
                op = bytes([0x83, r.choice([0xC0, 0xC1, 0xE8, 0xF8, 0xE0, 0xC4]), r.choice([1, 2, 4, 8, 0x10, 0xFF, 0x20])])
            elif k < 0.68:
                op = bytes([0x85, r.choice([0xC0, 0xC9, 0xD2, 0xF6, 0xFF])])  # test r,r
            elif k < 0.76:
                op = bytes([r.choice([0x74, 0x75, 0x7C, 0x7D, 0xEB, 0x72, 0x73]), r.randint(2, 0x40)])  # jcc short
            elif k < 0.80:
                op = bytes([0x8D, r.choice([0x45, 0x4D, 0x55]), r.choice(disp)])  # lea
            elif k < 0.85:
                op = bytes([0xB8 + r.randint(0, 7)]) + struct.pack("<I", r.choice([0, 1, 0xFFFFFFFF, r.randint(0, 0xFFFF), 0x400000 + 4 * r.randint(0, 0x8000)]))
            elif k < 0.89:
                op = bytes([0xFF, 0x15]) + struct.pack("<I", 0x402000 + 4 * r.randint(0, 300))  # call [iat]
            elif k < 0.93:
                op = bytes([0x33, r.choice([0xC0, 0xC9, 0xD2, 0xF6])])  # xor r,r
            elif k < 0.96:
                op = bytes([0x0F, r.choice([0x84, 0x85, 0x8C, 0x8F]), r.randint(0, 255), r.randint(0, 3), 0, 0])
            else:
                op = bytes([0x68]) + struct.pack("<I", 0x404000 + r.randint(0, 0x3000))  # push offset
            pool.append(op)
        self.pool = pool

    def code(self, size):
        r = self.r
        out = bytearray()
        pool = self.pool
        while len(out) < size:
            body = r.choices(pool, k=r.randint(8, 120))
            parts = [b"\x55\x8B\xEC\x83\xEC" + bytes([r.choice([8, 0x10, 0x18, 0x20, 0x40])])]
            for op in body:
                parts.append(op)
                if r.random() < 0.06:  # call rel32 to some other function
                    parts.append(b"\xE8" + struct.pack("<i", r.randint(-0x40000, 0x40000)))
            parts.append(b"\x8B\xE5\x5D\xC3")
            out += b"".join(parts)
            out += b"\xCC" * (-len(out) % 16)
        return bytes(out[:size])

    # ---- tables, relocations, strings ----
    def tables(self, size):
        r = self.r
        out = bytearray()
        while len(out) < size:
            k = r.random()
            if k < 0.35:  # base relocation blocks: page RVA, size, 16-bit type|offset entries
                page = 0x1000 * r.randint(1, 0x400)
                offsets = sorted(r.sample(range(0, 0x1000, 2), r.randint(8, 200)))
                entries = b"".join(struct.pack("<H", 0x3000 | o) for o in offsets)
                out += struct.pack("<II", page, 8 + len(entries)) + entries
            elif k < 0.6:  # pointer tables (vtables, import thunks)
                base = 0x400000 + 16 * r.randint(0, 0x10000)
                out += b"".join(struct.pack("<I", base + 16 * i + 4 * r.randint(0, 3)) for i in range(r.randint(16, 256)))
            elif k < 0.8:  # fixed-point tables of records
                n = r.randint(16, 256)
                a, b = r.randint(1, 50), r.randint(0, 1000)
                out += b"".join(struct.pack("<iHH", (a * i * i + b) % 0x7FFFFFFF, i, r.randint(0, 3)) for i in range(n))
            else:  # UTF-16 string table, as in a resource section
                for w in r.choices(self.words[:600], k=r.randint(10, 80)):
                    s = w.capitalize().encode("utf-16-le")
                    out += struct.pack("<H", len(w)) + s
        return bytes(out[:size])

    # ---- already-compressed data ----
    def compressed(self, size):
        r = self.r
        out = bytearray()
        while len(out) < size:
            if r.random() < 0.5:
                src = self.text(r.randint(20000, 200000)) if r.random() < 0.5 else self.code(r.randint(20000, 200000))
                out += zlib.compress(src, 6)
            else:
                out += r.randbytes(r.randint(20000, 300000))
        return bytes(out[:size])

    def executable(self, size):
        # A PE-like image: header, code, tables, strings.
        r = self.r
        head = b"MZ\x90\x00\x03\x00\x00\x00\x04\x00\x00\x00\xFF\xFF" + bytes(50) + struct.pack("<I", 0x80)
        head += b"This program cannot be run in DOS mode.\r\r\n$".ljust(64 - 2, b"\x00")
        head = head.ljust(0x80, b"\x00") + b"PE\x00\x00" + bytes(0x200 - 0x84)
        rest = size - len(head)
        if rest <= 0:
            return head[:size]
        code = self.code(int(rest * 0.6))
        tab = self.tables(int(rest * 0.25))
        strings = self.text(rest - len(code) - len(tab))
        return head + code + tab + strings

    def mixed_blob(self, size):
        # One large entry of every kind in stretches.
        parts = []
        total = 0
        r = self.r
        while total < size:
            n = min(size - total, r.randint(100000, 600000))
            parts.append(r.choice([self.code, self.code, self.tables, self.text, self.source, self.compressed])(n))
            total += n
        return b"".join(parts)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, (FIXED_TIME, FIXED_TIME))


def make_mixed_tree(root, total, seed):
    g = Generator(seed)
    r = g.r
    folders = ["bin", "bin/plugins", "lib", "lib/x86", "data", "data/levels", "doc", "doc/html", "src/core",
               "src/ui", "src/net", "include", "res/images", "res/sounds", "res/locale/de", "res/locale/fr",
               "res/locale/ja", "redist", "tools"]
    kinds = [  # (weight by count, generator, extensions, folder prefixes)
        (20, g.text, [".txt", ".html", ".md", ".ini", ".xml"], ["doc", "res/locale", "data"]),
        (22, g.source, [".c", ".cpp", ".h", ".hpp"], ["src", "include"]),
        (14, g.executable, [".dll", ".exe", ".sys"], ["bin", "lib", "redist", "tools"]),
        (12, g.tables, [".dat", ".tbl", ".idx", ".bin"], ["data", "lib"]),
        (12, g.compressed, [".cab", ".png", ".jpg", ".ogg", ".gz"], ["res", "redist", "data"]),
    ]
    weights = [k[0] for k in kinds]
    scale = total / 100e6
    written = 0
    # A few tiny files, the installer itself and one large entry of every kind.
    write(os.path.join(root, "version.txt"), b"1.0\n")
    write(os.path.join(root, "empty.flag"), b"")
    big = g.mixed_blob(int(8e6 * scale))
    write(os.path.join(root, "bin/core.dll"), big)
    setup = g.executable(int(1.5e6 * scale))
    write(os.path.join(root, "Setup.exe"), setup)
    written += len(big) + len(setup) + 4
    n = 0
    while written < total:
        _, make, exts, prefixes = r.choices(kinds, weights=weights)[0]
        c = r.random()
        if c < 0.70:
            size = int(10 ** r.uniform(1, 4.8))  # 10 B .. 63 KB
        elif c < 0.94:
            size = int(10 ** r.uniform(4.8, 6))  # 63 KB .. 1 MB
        else:
            size = int(10 ** r.uniform(6, 6.7))  # 1 .. 5 MB
        size = min(size, int(total - written) + 10)
        prefix = r.choice(prefixes)
        folder = r.choice([f for f in folders if f.startswith(prefix)])
        name = "%s/%s_%04d%s" % (folder, "_".join(g._ident(r.randint(1, 2))), n, r.choice(exts))
        data = make(size)
        write(os.path.join(root, name), data)
        written += len(data)
        n += 1


def make_text_tree(root, total, seed):
    g = Generator(seed)
    write(os.path.join(root, "manual.txt"), g.text(int(total)))


def make_small_tree(root, count, seed):
    g = Generator(seed)
    r = g.r
    makers = [g.text, g.source, g.code, g.tables, g.text, g.source]
    for i in range(count):
        folder = "pkg%03d/%s" % (i // 100, ["doc", "src", "bin", "data"][i % 4])
        write(os.path.join(root, folder, "f%05d.%s" % (i, ["txt", "c", "bin", "dat"][i % 4])),
              r.choice(makers)(r.randint(1024, 4096)))


def zip_tree(root, archive, level):
    # zip -r with the names in sorted order, so the result does not depend on
    # the order in which the file system lists a folder.
    names = []
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        rel = os.path.relpath(folder, root)
        if rel != ".":
            names.append(rel + "/")
        names.extend(os.path.normpath(os.path.join(rel, f)) for f in sorted(files))
    for folder, dirs, _ in os.walk(root):
        for d in dirs:
            os.utime(os.path.join(folder, d), (FIXED_TIME, FIXED_TIME))
    tmp = archive + ".tmp"
    if os.path.exists(tmp):
        os.remove(tmp)
    env = dict(os.environ, TZ="UTC")
    subprocess.run(["zip", "-q", "-X", "-%d" % level, tmp, "-@"], cwd=root, input="\n".join(names) + "\n",
                   text=True, check=True, env=env)
    os.replace(tmp, archive)


def legacy_archive(source_zip, entry_name, archive, target_bytes):
    """Copies one entry's local header and data byte for byte, repeated under
    new names until about target_bytes of output, and writes a directory."""
    with zipfile.ZipFile(source_zip) as z:
        info = z.getinfo(entry_name)
    with open(source_zip, "rb") as f:
        f.seek(info.header_offset)
        header = f.read(30)
        name_len, extra_len = struct.unpack("<HH", header[26:30])
        f.seek(info.header_offset + 30 + name_len + extra_len)
        data = f.read(info.compress_size)
    (_, version, flags, method, mtime, mdate, crc, csize, usize) = struct.unpack("<IHHHHHIII", header[:26])
    copies = max(1, -(-target_bytes // max(1, info.file_size)))
    base = os.path.basename(entry_name)
    local = bytearray()
    central = bytearray()
    for i in range(copies):
        name = ("copy%03d_%s" % (i, base)).encode()
        offset = len(local)
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, version, flags & ~8, method, mtime, mdate,
                             info.CRC, info.compress_size, info.file_size, len(name), 0) + name + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, version, version, flags & ~8, method, mtime, mdate,
                               info.CRC, info.compress_size, info.file_size, len(name), 0, 0, 0, 0, 0, offset) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, copies, copies, len(central), len(local), 0)
    with open(archive + ".tmp", "wb") as f:
        f.write(local + central + end)
    os.replace(archive + ".tmp", archive)
    return copies


def fingerprint(extra=""):
    """Names the cache: the generator's code, zip's and zlib's versions."""
    h = hashlib.sha256()
    with open(__file__, "rb") as f:
        h.update(f.read())
    zip_version = subprocess.run(["zip", "-v"], capture_output=True, text=True).stdout.splitlines()[1:2]
    h.update(repr((GENERATOR_VERSION, zip_version, zlib.ZLIB_VERSION, extra)).encode())
    return h.hexdigest()[:12]
