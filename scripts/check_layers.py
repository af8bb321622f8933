#!/usr/bin/env python3
"""Checks the layering of the source tree (the folder given, normally src/).

- Only the two operating-system rooms, os/posix/ and os/win32/, may include
  operating-system headers; the portable core includes the C++ standard
  library, its own headers and the portable libraries named below only.
- Includes point inward: each core folder may include itself and the folders
  listed for it below, nothing else. No file outside os/ includes anything
  from os/, and neither room includes the other.

Prints one line per offence and exits 1 when there is any.
"""
import pathlib
import re
import sys

# Core folder -> the folders its files may include besides their own.
INWARD = {
    "app": {"commands", "config", "request", "fs", "record", "platform", "text"},
    "commands": {"config", "request", "fs", "record", "platform", "text"},
    "request": {"config", "platform", "text"},
    "config": {"record", "platform", "text"},
    "record": {"platform", "text"},
    "fs": {"platform", "text"},
    "platform": set(),
    "text": set(),
}
ROOMS = {"os/posix", "os/win32"}
# Portable libraries the core may use by name; anything else with a "." or
# a "/" is a system header.
PORTABLE_LIBRARIES = {"zlib.h", "sqlite3.h"}  # CRC-32 for the .sfv check; the record
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def folder_of(relative):
    parts = relative.parts
    if parts[0] == "os" and len(parts) > 2:
        return "/".join(parts[:2])
    return parts[0]


def offences(root):
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        relative = path.relative_to(root)
        mine = folder_of(relative)
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            found = INCLUDE.match(line)
            if not found:
                continue
            kind, header = found.groups()
            where = f"{relative}:{number}"
            if mine in ROOMS:
                if kind == '"' and header.startswith("os/") and not header.startswith(mine + "/"):
                    yield f"{where}: {mine} includes the other room's {header}"
                continue
            if header == "sqlite3.h" and mine != "record":
                yield f"{where}: only record/ talks to SQLite"
                continue
            if kind == "<":
                # Standard C++ headers have no extension and no folder.
                if ("." in header or "/" in header) and header not in PORTABLE_LIBRARIES:
                    yield f"{where}: portable {mine}/ includes the system header <{header}>"
                continue
            theirs = folder_of(pathlib.PurePosixPath(header))
            if theirs in ROOMS or theirs == "os":
                yield f"{where}: portable {mine}/ includes {header} from an os/ room"
            elif theirs != mine and theirs not in INWARD.get(mine, set()):
                yield f"{where}: {mine}/ may not include {header} (includes point inward)"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    unknown = sorted({folder_of(p.relative_to(root)) for p in root.rglob("*.[ch]*")
                      if p.is_file()} - set(INWARD) - ROOMS)
    problems = list(offences(root))
    problems += [f"{name}/: a folder the layering does not know; add it to INWARD"
                 for name in unknown if name != "CMakeLists.txt"]
    for problem in problems:
        print(problem)
    if problems:
        print(f"layering: {len(problems)} offence(s)")
        return 1
    print("layering: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
