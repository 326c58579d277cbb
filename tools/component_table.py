#!/usr/bin/env python3
"""The installer's component table, read from the one place it is written:
kComponentTable in install_table.h. The build, the demo, the tests and the
benchmark take their rows from here, so a row is changed with one edit.

    component_table.py <install_table.h> --cmake                 CMake list settings of the rows' files
    component_table.py <install_table.h> --header <out.h> [--distinct64 BASE,...]
                                                                 the rows as a C++ header, for the demo and tests
    component_table.py <install_table.h> --check-readme <README.md>
                                                                 fails unless the README's table shows the rows

As a module: rows(source_dir) gives [(base name, extension, registered)].
"""
import argparse
import os
import re
import sys

ROW = re.compile(r'^\s*\{L"([A-Za-z0-9_]+)", L"(\.[A-Za-z0-9]+)", (true|false)\},\s*$')


def read(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    start = text.find("kComponentTable[] = {")
    end = text.find("};", start)
    if start < 0 or end < 0:
        sys.exit(f"component_table.py: no kComponentTable in {path}")
    rows = []
    for line in text[start:end].splitlines()[1:]:
        if not line.strip() or line.strip().startswith("//"):
            continue
        match = ROW.match(line)
        if not match:
            sys.exit(f"component_table.py: a row of kComponentTable in {path} is not "
                     f'{{L"<name>", L".<ext>", true|false}},: {line.strip()}')
        rows.append((match[1], match[2], match[3] == "true"))
    servers = [registered for _, _, registered in rows]
    if not rows or servers != sorted(servers, reverse=True):
        sys.exit(f"component_table.py: kComponentTable in {path} must list its servers first")
    return rows


def rows(source_dir):
    return read(os.path.join(source_dir, "install_table.h"))


def cmake(table):
    files = " ".join(base + ext for base, ext, _ in table)
    servers = " ".join(base + ext for base, ext, registered in table if registered)
    return f"set(ORBEL_PAYLOAD_FILES {files})\nset(ORBEL_REGISTERED_FILES {servers})\n"


def header(table, distinct64):
    lines = ["// Made by tools/component_table.py from kComponentTable in install_table.h.",
             "#pragma once", "", "#include <cstddef>", "", "namespace orbel::table {", "",
             "struct Row {", "    const wchar_t* baseName;", "    const wchar_t* extension;",
             "    const wchar_t* fileName;", "    bool server;",
             "    // The demo server's ProgID.", "    const wchar_t* progId;",
             "    // Whether the demo's 64-bit payload is a build of its own rather than the 32-bit image.",
             "    bool distinct64;", "};", "", "// In table order.", "constexpr Row kRows[] = {"]
    for base, ext, registered in table:
        lines.append(f'    {{L"{base}", L"{ext}", L"{base}{ext}", {str(registered).lower()}, L"Orbel.{base}", '
                     f'{str(base in distinct64).lower()}}},')
    lines += ["};", f"constexpr std::size_t kServerRows = {sum(r[2] for r in table)};", "",
              "}  // namespace orbel::table", ""]
    return "\n".join(lines)


def check_readme(table, path):
    with open(path, encoding="utf-8") as f:
        shown = re.findall(r"^\| (\d+) \| ([^ |]+) \| (yes|no) \|$", f.read(), re.M)
    wanted = [(str(i), base + ext, "yes" if registered else "no") for i, (base, ext, registered) in
              enumerate(table, 1)]
    if shown != wanted:
        sys.exit(f"component_table.py: the table in {path} differs from kComponentTable:\n"
                 f"  shown:  {shown}\n  wanted: {wanted}")
    print(f"{path} shows the {len(table)} rows of kComponentTable")


def write_if_changed(path, text):
    # Unchanged rows leave the header's time alone, so nothing rebuilds for nothing.
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source")
    parser.add_argument("--cmake", action="store_true")
    parser.add_argument("--header")
    parser.add_argument("--distinct64", default="")
    parser.add_argument("--check-readme")
    args = parser.parse_args()
    table = read(args.source)
    if args.cmake:
        sys.stdout.write(cmake(table))
    if args.header:
        distinct64 = set(filter(None, args.distinct64.split(",")))
        unknown = distinct64 - {base for base, _, _ in table}
        if unknown:
            sys.exit(f"component_table.py: --distinct64 names no row: {', '.join(sorted(unknown))}")
        write_if_changed(args.header, header(table, distinct64))
    if args.check_readme:
        check_readme(table, args.check_readme)


if __name__ == "__main__":
    main()
