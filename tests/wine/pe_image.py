"""Reads what the Windows tests check in a PE image: the headers, the
resource tree and the bytes of a resource. Only the parts of the format that
the launcher's image uses are read; anything unexpected raises ValueError."""
import struct

PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B
MACHINE_I386 = 0x14C
MACHINE_AMD64 = 0x8664
SUBSYSTEM_WINDOWS_GUI = 2
SUBSYSTEM_WINDOWS_CUI = 3
IMPORT_DIRECTORY = 1
RESOURCE_DIRECTORY = 2


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic == PE32_MAGIC:
            self.image_base = struct.unpack_from("<I", data, optional + 28)[0]
            directories = optional + 96
        elif self.magic == PE32_PLUS_MAGIC:
            self.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
            directories = optional + 112
        else:
            raise ValueError("unknown optional header magic %#x" % self.magic)
        self.size_of_image = struct.unpack_from("<I", data, optional + 56)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), rva, max(virtual_size, raw_size), raw_offset,
                                  raw_size))

    def section_flags(self):
        """[(name, Characteristics)] of the section table."""
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        count, optional_size = struct.unpack_from("<H", self.data, pe + 6)[0], struct.unpack_from("<H", self.data, pe + 20)[0]
        table = pe + 24 + optional_size
        return [(self.data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0").decode(),
                 struct.unpack_from("<I", self.data, table + 40 * i + 36)[0]) for i in range(count)]

    def imported_dlls(self):
        """The DLL names of the import directory, lower case, as the loader
        finds them: descriptors of 20 bytes, the name's RVA at 12, up to an
        all-zero one."""
        rva, size = self.directories[IMPORT_DIRECTORY]
        names = []
        while rva != 0 and size != 0:
            descriptor = self.read_rva(rva, 20)
            if descriptor == bytes(20):
                break
            name_rva = struct.unpack_from("<I", descriptor, 12)[0]
            name = b""
            while not name.endswith(b"\0"):
                name += self.read_rva(name_rva + len(name), 1)
            names.append(name[:-1].decode().lower())
            rva += 20
        return names

    def read_rva(self, rva, size):
        for _, start, span, raw_offset, raw_size in self.sections:
            if start <= rva and rva + size <= start + span:
                offset = rva - start
                if offset + size > raw_size:
                    raise ValueError("RVA %#x+%d lies beyond the raw data" % (rva, size))
                return self.data[raw_offset + offset:raw_offset + offset + size]
        raise ValueError("RVA %#x+%d lies in no section" % (rva, size))

    def resources(self):
        """{(type, name): [(language, bytes)]}; a type or name given as a
        string is a str, one given as a number an int."""
        rva, size = self.directories[RESOURCE_DIRECTORY]
        if size == 0:
            return {}
        tree = self.read_rva(rva, size)

        def entries(offset):
            named, numbered = struct.unpack_from("<HH", tree, offset + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", tree, offset + 16 + 8 * i)
                if key & 0x80000000:
                    at = key & 0x7FFFFFFF
                    length = struct.unpack_from("<H", tree, at)[0]
                    key = tree[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                yield key, target

        result = {}
        for kind, types in entries(0):
            for name, names in entries(types & 0x7FFFFFFF):
                for language, leaf in entries(names & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise ValueError("resource tree deeper than three levels")
                    data_rva, data_size = struct.unpack_from("<II", tree, leaf)
                    result.setdefault((kind, name), []).append((language, self.read_rva(data_rva, data_size)))
        return result


def load(path):
    with open(path, "rb") as f:
        return Image(f.read())
