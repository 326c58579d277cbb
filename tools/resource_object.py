#!/usr/bin/env python3
"""Writes the installer's whole resource section as one COFF object.

It takes the resources windres compiled from the .rc file (manifest, version
block, icon), adds the payload files as RT_RCDATA resources, and stores each
distinct payload image once: two resource names whose files are byte-identical
get two data entries pointing at the same bytes, which the PE format allows.
The linker leaves a single .rsrc input as it is; given two it would merge them
and copy every entry's bytes again.

It also prints the payload table a release engineer checks before shipping,
writes it to a file, and warns about payloads that cannot work where they land.

    resource_object.py --res <windres.res> --payloads <list> --output <object.o> --table <table.txt>
                       [--program NAME=FILE ...] [--strict]
    resource_object.py --check-dir <payload folder> <file name>...

The second form only checks that every 32/<file> and 64/<file> can be read,
and names each that cannot.

The payload list has one line per payload, tab-separated:
    <resource name> <language> <server: 1 or 0> <file>
"""
import argparse
import hashlib
import os
import re
import stat
import struct
import sys

try:
    import pefile
except ImportError:  # pragma: no cover
    sys.exit("resource_object.py: python3-pefile is missing (apt-get install python3-pefile)")

RT_RCDATA = 10
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_REL_I386_DIR32NB = 0x0007
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x00000040
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_ALIGN_8BYTES = 0x00400000
# A 32-bit process maps the whole image below 2 GiB, beside its stack, heaps
# and system DLLs; keep the resources well clear of that.
MAX_RESOURCE_BYTES = 0x7000_0000
MACHINES = {0x14C: "i386", 0x8664: "x86-64", 0xAA64: "arm64", 0x1C4: "arm"}
# Libraries that every Windows the manifest claims (Vista to 10) has in both
# system folders, so a payload may import them: the Win32 API's own DLLs, as
# Microsoft's API reference names them for each function, that payloads of
# this kind use. API-set names (api-ms-win-*, ext-ms-*) are resolved by the
# loader itself. A payload importing anything else that is not a row of the
# table fails to load where it is missing; the build says so.
WINDOWS_LIBRARIES = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "dbghelp.dll", "gdi32.dll",
    "imm32.dll", "iphlpapi.dll", "kernel32.dll", "mpr.dll", "msimg32.dll", "msvcrt.dll", "netapi32.dll",
    "ntdll.dll", "odbc32.dll", "ole32.dll", "oleacc.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll",
    "secur32.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "urlmon.dll", "user32.dll", "userenv.dll",
    "uxtheme.dll", "version.dll", "wininet.dll", "winmm.dll", "winspool.drv", "wintrust.dll", "ws2_32.dll",
    "wsock32.dll",
}
WINDOWS_LIBRARY_PREFIXES = ("api-ms-win-", "ext-ms-")


class Resource:
    def __init__(self, type_, name, language, data):
        self.type = type_          # int id or upper-case str
        self.name = name
        self.language = language
        self.data = data


def align(value, to):
    return (value + to - 1) // to * to


def read_res(path):
    """The resources of a Win32 .res file, as windres writes it."""
    with open(path, "rb") as f:
        blob = f.read()
    resources = []
    offset = 0
    while offset + 8 <= len(blob):
        data_size, header_size = struct.unpack_from("<II", blob, offset)
        cursor = offset + 8

        def name_or_id():
            nonlocal cursor
            (first,) = struct.unpack_from("<H", blob, cursor)
            if first == 0xFFFF:
                (ident,) = struct.unpack_from("<H", blob, cursor + 2)
                cursor += 4
                return ident
            end = cursor
            while struct.unpack_from("<H", blob, end)[0] != 0:
                end += 2
            text = blob[cursor:end].decode("utf-16-le")
            cursor = end + 2
            return text

        type_ = name_or_id()
        name = name_or_id()
        cursor = align(cursor, 4)
        _, _, language, _, _ = struct.unpack_from("<IHHII", blob, cursor)
        data_start = offset + header_size
        data = blob[data_start:data_start + data_size]
        # The file opens with an empty entry that marks it as a 32-bit .res.
        if not (type_ == 0 and name == 0 and data_size == 0):
            resources.append(Resource(type_, name, language, data))
        offset = align(data_start + data_size, 4)
    return resources


def read_payload_list(path):
    entries = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            name, language, server, file = line.split("\t", 3)
            entries.append((name.upper(), int(language), server == "1", file))
    return entries


# What a Git LFS checkout leaves where a file's content belongs when LFS is not installed.
LFS_POINTER = re.compile(rb"version https://[^\n]*lfs[^\n]*\noid sha256:[0-9a-f]{64}\nsize [0-9]+\n")
FILE_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
              (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def file_problem(path):
    """Why path cannot be read as a payload, or None. Never opens anything but a regular file,
    so a FIFO or a device cannot make the build wait."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "missing (a link to nothing)" if os.path.islink(path) else "missing"
    except OSError as error:
        return f"unreadable ({error.strerror})"
    if not stat.S_ISREG(mode):
        kind = next((what for test, what in FILE_KINDS if test(mode)), "not a file")
        return f"not a regular file ({kind})"
    try:
        with open(path, "rb", buffering=0) as f:
            f.read(1)
    except OSError as error:
        return f"unreadable ({error.strerror})"
    return None


def describe_pe(path, size):
    """The payload as the table shows it: (machine type, whether it exports DllRegisterServer or
    None, the libraries it imports statically in lower case, is_dll), and what makes it no
    complete PE DLL image, if anything."""
    if size == 0:
        return ("empty", None, [], False), ["an empty file: the installer writes a file of 0 bytes"]
    with open(path, "rb") as f:
        head = f.read(4096)
    if LFS_POINTER.match(head):
        return ("LFS", None, [], False), ["a Git LFS pointer file (the repository was checked out without LFS)"]
    try:
        image = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as error:
        return ("not PE", None, [], False), [f"not a PE image ({error.value})"]
    problems = []
    machine = MACHINES.get(image.FILE_HEADER.Machine, hex(image.FILE_HEADER.Machine))
    is_dll = bool(image.FILE_HEADER.Characteristics & 0x2000)
    if not is_dll:
        problems.append("a PE image that is not a DLL")
    if machine not in ("i386", "x86-64"):
        problems.append(f"an image for {machine}, which no x86 Windows loads")
    end = max([image.OPTIONAL_HEADER.SizeOfHeaders] +
              [section.PointerToRawData + section.SizeOfRawData for section in image.sections
               if section.SizeOfRawData])
    if end > size:
        problems.append(f"truncated: its sections end at byte {end} of a file of {size} bytes")
    # An image may list fewer data directories than the import directory's slot.
    directories = image.OPTIONAL_HEADER.DATA_DIRECTORY
    imports_dir = directories[1] if len(directories) > 1 else None
    if imports_dir and imports_dir.VirtualAddress:
        try:
            at = image.get_offset_from_rva(imports_dir.VirtualAddress)
        except pefile.PEFormatError:
            at = None
        if at is None or at + imports_dir.Size > size:
            problems.append("its import directory lies outside the file")
    image.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"],
                                              pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    exports = set()
    if hasattr(image, "DIRECTORY_ENTRY_EXPORT"):
        exports = {symbol.name for symbol in image.DIRECTORY_ENTRY_EXPORT.symbols if symbol.name}
    imports = [entry.dll.decode("ascii", "replace").lower() for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", [])]
    # A DLL without an entry point (resource-only libraries often are) is valid.
    said = [warning for warning in dict.fromkeys(image.get_warnings())
            if not (image.OPTIONAL_HEADER.AddressOfEntryPoint == 0 and warning.startswith("AddressOfEntryPoint"))]
    if said:
        problems.append("pefile says: " + " ".join(said))
    return (machine, b"DllRegisterServer" in exports, imports, is_dll), problems


def import_warnings(name, file, server, imports, rows):
    """Imports that fail: a server's import of a later row's library (registered before that row is
    written), and any import that is neither a row nor Windows' own. rows: file names, table order."""
    warnings = []
    row = rows.index(os.path.basename(file).lower()) if os.path.basename(file).lower() in rows else None
    for library in imports:
        if library in rows:
            later = rows.index(library)
            if server and row is not None and later > row:
                warnings.append(f"{name} ({file}) imports {library}, which row {later + 1} writes only after "
                                f"row {row + 1} ({rows[row]}) is registered: on a machine without {library}, "
                                f"the first install fails that registration")
        elif library not in WINDOWS_LIBRARIES and not library.startswith(WINDOWS_LIBRARY_PREFIXES):
            warnings.append(f"{name} ({file}) imports {library}, which is neither a file of the installer nor "
                            f"a library Windows provides: it fails to load wherever {library} is missing")
    return warnings


def sort_key(key):
    # Named entries come before numbered ones, each in ascending order.
    return (0, key.encode("utf-16-be")) if isinstance(key, str) else (1, key)


def build_section(resources):
    """The .rsrc section's bytes and the offsets of the fields to relocate."""
    tree = {}
    for resource in resources:
        tree.setdefault(resource.type, {}).setdefault(resource.name, {})[resource.language] = resource

    # Directories first, level by level, then data entries, names and bytes.
    directories = []  # (path of keys, its children's keys in order)

    def directory_size(children):
        return 16 + 8 * len(children)

    layout = {}
    offset = 0
    root_children = sorted(tree, key=sort_key)
    directories.append(((), root_children))
    layout[()] = offset
    offset += directory_size(root_children)
    for type_ in root_children:
        names = sorted(tree[type_], key=sort_key)
        directories.append(((type_,), names))
        layout[(type_,)] = offset
        offset += directory_size(names)
    for type_ in root_children:
        for name in sorted(tree[type_], key=sort_key):
            languages = sorted(tree[type_][name])
            directories.append(((type_, name), languages))
            layout[(type_, name)] = offset
            offset += directory_size(languages)

    leaves = []
    for path, children in directories:
        if len(path) == 2:
            leaves.extend(tree[path[0]][path[1]][language] for language in children)
    entry_offsets = {}
    for leaf in leaves:
        entry_offsets[id(leaf)] = offset
        offset += 16

    strings = {}
    for key in [k for (_, children) in directories for k in children if isinstance(k, str)]:
        if key not in strings:
            strings[key] = offset
            offset += 2 + 2 * len(key)
    offset = align(offset, 8)

    # Each distinct image once, in the order of first use.
    data_offsets = {}
    blobs = []
    leaf_data = {}
    for leaf in leaves:
        digest = (len(leaf.data), hashlib.sha256(leaf.data).digest())
        if digest not in data_offsets:
            data_offsets[digest] = offset
            blobs.append((offset, leaf.data))
            offset = align(offset + len(leaf.data), 8)
        leaf_data[id(leaf)] = data_offsets[digest]
    size = offset

    section = bytearray(size)
    relocations = []
    for path, children in directories:
        base = layout[path]
        named = sum(1 for k in children if isinstance(k, str))
        struct.pack_into("<IIHHHH", section, base, 0, 0, 0, 0, named, len(children) - named)
        for index, key in enumerate(children):
            name_field = (0x80000000 | strings[key]) if isinstance(key, str) else key
            if len(path) < 2:
                target = 0x80000000 | layout[path + (key,)]
            else:
                target = entry_offsets[id(tree[path[0]][path[1]][key])]
            struct.pack_into("<II", section, base + 16 + 8 * index, name_field, target)
    for leaf in leaves:
        at = entry_offsets[id(leaf)]
        # The linker turns this section offset into the data's RVA.
        struct.pack_into("<IIII", section, at, leaf_data[id(leaf)], len(leaf.data), 0, 0)
        relocations.append(at)
    for key, at in strings.items():
        encoded = key.encode("utf-16-le")
        struct.pack_into("<H", section, at, len(key))
        section[at + 2:at + 2 + len(encoded)] = encoded
    for at, data in blobs:
        section[at:at + len(data)] = data
    return bytes(section), relocations


def write_object(path, section, relocations):
    header_size = 20 + 40
    relocation_at = header_size + len(section)
    symbols_at = relocation_at + 10 * len(relocations)
    if len(relocations) > 0xFFFF:
        sys.exit("resource_object.py: too many resources")
    out = bytearray()
    out += struct.pack("<HHIIIHH", IMAGE_FILE_MACHINE_I386, 1, 0, symbols_at, 2, 0, 0)
    out += struct.pack("<8sIIIIIIHHI", b".rsrc", 0, 0, len(section), header_size, relocation_at, 0,
                       len(relocations), 0,
                       IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ | IMAGE_SCN_ALIGN_8BYTES)
    out += section
    for at in relocations:
        out += struct.pack("<IIH", at, 0, IMAGE_REL_I386_DIR32NB)
    # The section symbol the relocations refer to, and its auxiliary record.
    out += struct.pack("<8sIhHBB", b".rsrc", 0, 1, 0, 3, 1)
    out += struct.pack("<IHHIHB3s", len(section), len(relocations), 0, 0, 0, 0, b"")
    out += struct.pack("<I", 4)  # an empty string table
    with open(path, "wb") as f:
        f.write(out)


def depfile_path(path):
    """A path as a Makefile-style depfile spells it."""
    return path.replace("\\", "\\\\").replace(" ", "\\ ").replace("#", "\\#").replace("$", "$$")


def check_dir(folder, names):
    """The configure step's check of a payload folder: every problem on stderr, exit 1 if any."""
    problems = [f"  {problem}: {path}" for path, problem in
                ((os.path.join(folder, variant, name), None) for variant in ("32", "64") for name in names)
                for problem in [file_problem(path)] if problem]
    if problems:
        sys.exit("\n".join(problems))


def main():
    if sys.argv[1:2] == ["--check-dir"]:
        check_dir(sys.argv[2], sys.argv[3:])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--res", required=True)
    parser.add_argument("--payloads", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--table", required=True)
    parser.add_argument("--depfile", help="a Makefile-style list of the payload files, for the build tool")
    parser.add_argument("--program", action="append", default=[], metavar="NAME=FILE",
                        help="one of the project's own programs, carried as an RT_RCDATA resource")
    parser.add_argument("--strict", action="store_true", help="every warning stops the build")
    args = parser.parse_args()

    rows = []
    warnings = []
    payloads = read_payload_list(args.payloads)
    table_rows = list(dict.fromkeys(os.path.basename(file).lower() for _, _, _, file in payloads))
    # Checked before anything is opened: a FIFO or a device would make the build wait.
    unusable = [f"  {problem}: {file}" for _, _, _, file in payloads for problem in [file_problem(file)] if problem]
    if unusable:
        sys.exit("resource_object.py: error: payload files that cannot be read:\n" + "\n".join(unusable))
    for name, language, server, file in payloads:
        digest = hashlib.sha256()
        size = 0
        with open(file, "rb") as f:
            for piece in iter(lambda: f.read(1 << 20), b""):
                digest.update(piece)
                size += len(piece)
        (machine, registers, imports, is_dll), problems = describe_pe(file, size)
        rows.append((name, size, digest.hexdigest(), machine, "-" if registers is None else
                     ("yes" if registers else "no"), file))
        base = os.path.basename(file).lower()
        row = table_rows.index(base) + 1
        warnings += [f"{name} ({file}), the {name[:2]}-bit payload of row {row} ({base}): {problem}"
                     for problem in problems]
        if server and not (machine == "i386" and is_dll and registers):
            warnings.append(f"{name} ({file}) is registered with regsvr32 in the 32-bit system folder, "
                            f"but it is not a 32-bit x86 DLL that exports DllRegisterServer: "
                            f"its registration will fail")
        if machine == "x86-64":
            warnings.append(f"{name} ({file}) is an x86-64 image: it lands in the 32-bit system folder, "
                            f"where 32-bit processes cannot load it")
        warnings += import_warnings(name, file, server, imports, table_rows)

    # Checked before anything is read whole: payloads that do not fit are refused, not loaded.
    distinct = {(r[1], r[2]) for r in rows}
    stored = sum(size for size, _ in distinct)
    if stored > MAX_RESOURCE_BYTES:
        sys.exit(f"resource_object.py: error: the payloads need {stored:,} bytes, more than the "
                 f"{MAX_RESOURCE_BYTES:,} a 32-bit executable can carry (its whole image must load below "
                 f"2 GiB in a 32-bit process)")

    resources = read_res(args.res)
    programs = [tuple(program.split("=", 1)) for program in args.program]
    for name, language, file in [(n, l, f) for n, l, _, f in payloads] + [(n.upper(), 1033, f) for n, f in programs]:
        with open(file, "rb") as f:
            resources.append(Resource(RT_RCDATA, name, language, f.read()))
    section, relocations = build_section(resources)

    width = max(len(r[0]) for r in rows) if rows else 8
    lines = [f"{'resource':<{width}}  {'bytes':>10}  {'sha256':<64}  {'machine':<7}  {'DllRegisterServer':<17}  source"]
    for name, size, digest, machine, registers, file in rows:
        lines.append(f"{name:<{width}}  {size:>10}  {digest}  {machine:<7}  {registers:<17}  {file}")
    lines.append(f"{len(rows)} payloads, {sum(r[1] for r in rows):,} bytes; "
                 f"{len(distinct)} distinct images, stored once each: {stored:,} bytes")
    table = "\n".join(lines) + "\n"
    sys.stdout.write(table)
    kind = "error" if args.strict else "warning"
    for warning in warnings:
        print(f"{kind}: {warning}", file=sys.stderr)
    if args.strict and warnings:
        sys.exit(f"resource_object.py: {len(warnings)} payload warnings, and ORBEL_STRICT_PAYLOADS is on: "
                 f"no installer is built")
    write_object(args.output, section, relocations)
    if args.depfile:
        with open(args.depfile, "w", encoding="utf-8") as f:
            f.write(" \\\n  ".join([depfile_path(args.output) + ":"] +
                                   [depfile_path(file) for file in dict.fromkeys([p[3] for p in payloads] + [f for _, f in programs])]) + "\n")
    with open(args.table, "w", encoding="utf-8") as f:
        f.write(table)
        for warning in warnings:
            f.write("warning: " + warning + "\n")


if __name__ == "__main__":
    main()
