#!/usr/bin/env python3
"""Checks that the Windows program needs nothing newer than Windows 7.

docs/windows.md holds a table of every Win32 function the program imports
and every file information class it passes to GetFileInformationByHandleEx
or SetFileInformationByHandle, each row with the oldest Windows that the
documentation gives for them. This script fails when

- a row names a Windows later than Windows 7;
- the program (objdump -p of the exe) imports a function that no row of its
  DLL names;
- a file in the source folder names an information class of Windows 8 or
  later (MinGW's headers declare them without any guard), or one of the
  older classes that the table lacks.

With --self-test it shows that it catches both kinds of fault: on a copy of
the source folder with a Windows 8 class planted in it, and on a copy of the
table with one imported function taken out. Exits 1 on any offence.

Usage: check_win7_floor.py --exe EXE --table DOC --src DIR [--objdump CMD] [--self-test]
"""
import argparse
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

ALLOWED = {"Windows 2000", "Windows XP", "Windows Vista", "Windows 7"}
TABLE_START = "### What it needs of Windows"
# FILE_INFO_BY_HANDLE_CLASS, in the documentation's order.
OLDER_CLASSES = [
    "FileBasicInfo", "FileStandardInfo", "FileNameInfo", "FileRenameInfo",
    "FileDispositionInfo", "FileAllocationInfo", "FileEndOfFileInfo", "FileStreamInfo",
    "FileCompressionInfo", "FileAttributeTagInfo", "FileIdBothDirectoryInfo",
    "FileIdBothDirectoryRestartInfo", "FileIoPriorityHintInfo", "FileRemoteProtocolInfo",
]
# "Not supported before Windows 8 and Windows Server 2012" (or Windows 10),
# with their structures.
NEWER_CLASSES = [
    "FileFullDirectoryInfo", "FileFullDirectoryRestartInfo", "FileStorageInfo",
    "FileAlignmentInfo", "FileIdInfo", "FileIdExtdDirectoryInfo",
    "FileIdExtdDirectoryRestartInfo", "FileDispositionInfoEx", "FileRenameInfoEx",
    "FileCaseSensitiveInfo", "FileNormalizedNameInfo", "FILE_FULL_DIR_INFO", "FILE_ID_INFO",
    "FILE_ID_EXTD_DIR_INFO", "FILE_STORAGE_INFO", "FILE_ALIGNMENT_INFO", "FILE_ID_128",
]
CLASS_ROW = "information classes"


def read_table(doc):
    """{(from, name)} of the table's rows, and one line per bad row."""
    names, problems, inside = set(), [], False
    for line in pathlib.Path(doc).read_text(encoding="utf-8").splitlines():
        if line.startswith("#"):
            inside = line.strip() == TABLE_START
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if not inside or not line.startswith("|") or len(cells) != 3 or "`" not in cells[2]:
            continue
        oldest, source, listed = cells
        if oldest not in ALLOWED:
            problems.append(f"table: {source} needs {oldest}, later than Windows 7")
        for name in re.findall(r"`([^`]+)`", listed):
            names.add((source.lower(), name))
    if not names:
        problems.append(f"table: no rows under '{TABLE_START}' in {doc}")
    return names, problems


def imports_of(exe, objdump):
    """[(dll, function)] that the program imports."""
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    found, dll = [], None
    for line in text.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            dll = match.group(1).lower()
        elif not line.strip():
            dll = None
        elif dll and re.match(r"\s*[0-9a-f]+\s+\d+\s+\S+\s*$", line):
            found.append((dll, line.split()[2]))
    return found


def check_imports(imports, table):
    return [f"imports {dll} {name}, which the table lacks"
            for dll, name in imports if (dll, name) not in table]


def check_sources(src, table):
    listed = {name for source, name in table if source == CLASS_ROW}
    problems = []
    pattern = re.compile(r"\b(" + "|".join(NEWER_CLASSES + OLDER_CLASSES) + r")\b")
    for path in sorted(pathlib.Path(src).rglob("*")):
        if not path.is_file():
            continue
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            for name in pattern.findall(line):
                where = f"{path}:{number}"
                if name in NEWER_CLASSES:
                    problems.append(f"{where}: {name} is not supported before Windows 8")
                elif name not in listed:
                    problems.append(f"{where}: {name} is missing from the table")
    return problems


def check(exe, doc, src, objdump):
    table, problems = read_table(doc)
    imports = imports_of(exe, objdump)
    if not imports:
        problems.append(f"{exe}: no imports found")
    return problems + check_imports(imports, table) + check_sources(src, table)


def self_test(exe, doc, src, objdump):
    """Plants one fault of each kind in copies; each must be caught."""
    failures = []
    with tempfile.TemporaryDirectory() as temp:
        planted_src = pathlib.Path(temp, "src")
        shutil.copytree(src, planted_src)
        target = next(iter(sorted(planted_src.rglob("*.cpp"))))
        with open(target, "a") as f:
            f.write("\nconstexpr FILE_INFO_BY_HANDLE_CLASS kPlanted = FileIdExtdDirectoryInfo;\n")
        if not any("FileIdExtdDirectoryInfo" in p for p in check(exe, doc, planted_src, objdump)):
            failures.append("a Windows 8 class planted in the sources passed")
        dll, name = imports_of(exe, objdump)[0]
        planted_doc = pathlib.Path(temp, "windows.md")
        text = pathlib.Path(doc).read_text(encoding="utf-8")
        planted_doc.write_text(text.replace(f"`{name}`", "", 1), encoding="utf-8")
        if not any(f" {name}," in p for p in check(exe, planted_doc, src, objdump)):
            failures.append(f"the import {name} taken out of the table passed")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--table", required=True)
    parser.add_argument("--src", required=True)
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    run = self_test if args.self_test else check
    problems = run(args.exe, args.table, args.src, args.objdump)
    for problem in problems:
        print(problem)
    if not problems:
        what = "catches a planted class and a missing import" if args.self_test else \
            "imports and information classes all of Windows 7 or earlier"
        print(f"{args.exe}: {what}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
