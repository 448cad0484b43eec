#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into a folder.

usage: fuzz_seeds.py OUT_DIR [CORPUS_DIR]

Seeds are the kinds of archives the tests build (stored and deflated
entries, directories, data descriptors, comments, an archive behind an
MS-DOS image, a directory larger than the walker's window) and, for the
decoder harnesses, the raw compressed data of such entries behind the
harnesses' 5-byte parameter header. When CORPUS_DIR (the shared third-party
corpus) exists, its archives and their entries' raw data are added as well.
Nothing here is kept in the repository; the seeds are made at run time.
"""
import io
import os
import random
import struct
import sys
import zipfile
import zlib

out_dir = sys.argv[1]
corpus_dir = sys.argv[2] if len(sys.argv) > 2 else ""
rng = random.Random(1234)


def put(harness, name, data):
    d = os.path.join(out_dir, harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)
    # The differential harness takes the same inputs behind a byte that
    # picks the decoder (unreduce's method rides in its flag bits here).
    selector = {"inflate": 8, "explode": 6, "unshrink": 1}.get(harness)
    if harness == "unreduce":
        selector = 2 + ((data[0] >> 2) & 3)
    if selector is not None:
        put("differential", harness + "-" + name, bytes([selector]) + data)


def text(n, seed):
    r = random.Random(seed)
    words = [b"alpha", b"beta", b"gamma", b"delta", b"\n", b" ", b"setup", b"0123"]
    out = bytearray()
    while len(out) < n:
        out += r.choice(words)
    return bytes(out[:n])


def decoder_header(flags, size, extra_flag_bits=0, deferred=False, huge=False):
    """The harnesses' header: flags byte, size delta (0x80: a compressed size
    far beyond the data), 24-bit uncompressed size."""
    b0 = (1 if deferred else 0) | ((flags >> 1) & 0x3F) << 2 | extra_flag_bits
    return bytes([b0 & 0xFF, 0x80 if huge else 0]) + struct.pack("<I", min(size, 0xFFFFFF))[:3]


def make_zip(entries, comment=b"", streaming=False):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for name, data, method in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 5, 1, 13, 25, 26))
            info.compress_type = method
            if streaming and not name.endswith("/"):
                with z.open(info, "w", force_zip64=False) as w:
                    w.write(data)
            else:
                z.writestr(info, data)
        z.comment = comment
    return buf.getvalue()


def raw_entries(archive):
    """(method, flags, uncompressed size, raw compressed bytes) of each entry."""
    out = []
    try:
        z = zipfile.ZipFile(io.BytesIO(archive))
        for info in z.infolist():
            off = info.header_offset
            if archive[off:off + 4] != b"PK\x03\x04":
                continue
            n, e = struct.unpack("<HH", archive[off + 26:off + 30])
            start = off + 30 + n + e
            out.append((info.compress_type, info.flag_bits, info.file_size,
                        archive[start:start + info.compress_size]))
    except (zipfile.BadZipFile, OSError, ValueError):
        pass
    return out


# ---- archives ----
archives = {}
D, S = zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED
archives["stored"] = make_zip([("Setup.exe", text(300, 1), S), ("readme.txt", text(50, 2), S)])
archives["deflated"] = make_zip([("a.txt", text(5000, 3), D), ("dir/", b"", S), ("dir/b.bin", os.urandom(0) + text(70000, 4), D)])
archives["mixed-dirs"] = make_zip([("sub/", b"", S), ("sub/deep/f.txt", text(200, 5), D), ("empty.txt", b"", S)])
archives["descriptor"] = make_zip([("s.txt", text(3000, 6), D), ("t.txt", text(10, 7), D)], streaming=True)
archives["comment"] = make_zip([("c.txt", text(100, 8), D)], comment=b"an archive comment PK")
archives["single-byte"] = make_zip([("one", b"x", D)])
archives["random-data"] = make_zip([("r.bin", bytes(rng.getrandbits(8) for _ in range(3000)), D)])
mz = bytearray(b"MZ" + struct.pack("<HH", 0x90, 2) + bytes(512 + 0x90 - 6))
archives["sfx"] = bytes(mz) + make_zip([("in-sfx.txt", text(400, 9), D)])
# A directory of more than 64000 bytes: the walker's windowed mode.
archives["big-directory"] = make_zip([("d%04d/%s.txt" % (i, "n" * 40), b"", S) for i in range(900)])

corpus_archives = {}
if corpus_dir and os.path.isdir(corpus_dir):
    for name in sorted(os.listdir(corpus_dir)):
        if name.endswith(".zip"):
            with open(os.path.join(corpus_dir, name), "rb") as f:
                corpus_archives["corpus-" + name[:-4]] = f.read()

for name, data in list(archives.items()) + list(corpus_archives.items()):
    put("walker", name, data)
    # The extract harnesses decode everything; keep their seeds small.
    if len(data) <= 65536:
        put("extract_memory", name, data)
        put("extract_file", name, data)

# ---- decoder inputs ----
for name, data in list(archives.items()) + list(corpus_archives.items()):
    for i, (method, flags, usize, raw) in enumerate(raw_entries(data)):
        if len(raw) > 65536 or not raw:
            continue
        # Small entries also with a header that claims far more data.
        for huge in ([False, True] if len(raw) < 4096 else [False]):
            seed = "%s-%d%s" % (name, i, "-huge" if huge else "")
            if method == 8:
                put("inflate", seed, decoder_header(flags & ~8, usize, huge=huge) + raw)
            elif method == 6:
                put("explode", seed, decoder_header(flags & 6, usize, huge=huge) + raw)
            elif method == 1:
                put("unshrink", seed, decoder_header(0, usize, huge=huge) + raw)
            elif 2 <= method <= 5:
                # Bits 2-3 of the first byte choose the method 2..5.
                put("unreduce", seed, decoder_header(0, usize, (method - 2) << 2, huge=huge) + raw)

for level in (0, 1, 6, 9):
    for i, data in enumerate([b"", b"a", text(1000, 10), text(40000, 11), bytes(range(256)) * 8]):
        c = zlib.compressobj(level, zlib.DEFLATED, -15)
        raw = c.compress(data) + c.flush()
        put("inflate", "zlib-%d-%d" % (level, i), decoder_header(0, len(data)) + raw)
c = zlib.compressobj(6, zlib.DEFLATED, -15, strategy=zlib.Z_FIXED)
put("inflate", "zlib-fixed", decoder_header(0, 2000) + c.compress(text(2000, 12)) + c.flush())

# ---- length lists ----
def lengths_seed(count, simple, root, with_bases, lengths):
    b0 = (count - 1) % 256
    b2 = (root - 1) | (0x40 if with_bases else 0) | (0x80 if count - 1 >= 256 else 0)
    return bytes([b0, simple % 256, b2]) + bytes(lengths)

fixed = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 8
put("decode_table", "fixed-literal", lengths_seed(288, 257, 7, True, fixed))
put("decode_table", "fixed-distance", lengths_seed(30, 0, 5, True, [5] * 30))
put("decode_table", "code-length", lengths_seed(19, 19, 7, False, [2, 3, 3, 3, 3, 3, 4, 4] + [0] * 11))
put("decode_table", "explode-literal", lengths_seed(256, 0, 9, False, [8] * 256))
put("decode_table", "explode-64", lengths_seed(64, 0, 7, False, [6] * 64))
put("decode_table", "one-code", lengths_seed(30, 0, 6, True, [1] + [0] * 29))
put("decode_table", "deep", lengths_seed(134, 0, 6, False, [1, 2, 3, 4, 5, 6] + [13] * 128))

# Stored data for the differential harness: plain copies of several sizes.
for n in (0, 1, 2047, 2049, 40000):
    put("differential", "stored-%d" % n, bytes([0]) + decoder_header(0, n) + text(n, n))
