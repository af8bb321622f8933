#!/usr/bin/env python3
"""Checks that the Windows program needs nothing newer than Windows 7.

docs/windows.md holds a table of every Win32 function the program imports or
looks up at run time, every file information class it passes to
GetFileInformationByHandleEx or SetFileInformationByHandle and every control
code it sends, each row with the oldest Windows that the documentation gives
for them. This script fails when

- a row names a Windows later than Windows 7;
- the program (objdump -p of the exe) imports, or delay-loads, a function
  that no row of its DLL names;
- the program carries as text the name of a function of Windows 8 or later
  (a run-time lookup, wherever it was compiled from) that no never-binds
  list below holds;
- a file in the source folder names an information class, a control code or
  a function of Windows 8 or later (MinGW's headers declare many of them
  without any guard), by name or by number, or an older class or code that
  the table lacks, or looks up with GetProcAddress a function that the
  table lacks.

Code the program does not write itself (--foreign FILE, with --never-binds
LIST, one pair per file) is checked the same way, but a name that LIST holds
is allowed there: it is one the code carries but never binds on Windows 7
(behind a version check, or under a build switch that is off). LIST holds one
name a line, "#" starting a comment. A name on it must be one the file
carries and one the program does not import.

With --self-test it plants each kind of fault in copies (of the sources, the
table, a foreign file, and a small program built with a delay import) and
shows that each is caught. Exits 1 on any offence.

Usage: check_win7_floor.py --exe EXE --table DOC --src DIR [--objdump CMD]
       [--foreign FILE --never-binds LIST]... [--self-test]
"""
import argparse
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile

ALLOWED = {"Windows 2000", "Windows XP", "Windows Vista", "Windows 7"}
TABLE_START = "### What it needs of Windows"
CLASS_ROW = "information classes"
CODE_ROW = "control codes"
W8, W81, W10 = "Windows 8", "Windows 8.1", "Windows 10"

# FILE_INFO_BY_HANDLE_CLASS in the documentation's order: a class's number
# is its place here. From FileFullDirectoryInfo (14) on, "not supported
# before Windows 8" (or Windows 10).
CLASSES = [
    "FileBasicInfo", "FileStandardInfo", "FileNameInfo", "FileRenameInfo",
    "FileDispositionInfo", "FileAllocationInfo", "FileEndOfFileInfo", "FileStreamInfo",
    "FileCompressionInfo", "FileAttributeTagInfo", "FileIdBothDirectoryInfo",
    "FileIdBothDirectoryRestartInfo", "FileIoPriorityHintInfo", "FileRemoteProtocolInfo",
    "FileFullDirectoryInfo", "FileFullDirectoryRestartInfo", "FileStorageInfo",
    "FileAlignmentInfo", "FileIdInfo", "FileIdExtdDirectoryInfo",
    "FileIdExtdDirectoryRestartInfo", "FileDispositionInfoEx", "FileRenameInfoEx",
    "FileCaseSensitiveInfo", "FileNormalizedNameInfo",
]
OLDER_CLASSES = CLASSES[:14]
NEWER = {name: W8 for name in CLASSES[14:21]}
NEWER.update({name: W10 for name in CLASSES[21:]})
# Their structures and flags, and the native classes behind them.
NEWER.update({name: W8 for name in [
    "FILE_FULL_DIR_INFO", "FILE_ID_INFO", "FILE_ID_EXTD_DIR_INFO", "FILE_STORAGE_INFO",
    "FILE_ALIGNMENT_INFO", "FILE_ID_128", "FileIdInformation"]})
NEWER.update({name: W10 for name in [
    "FILE_DISPOSITION_INFO_EX", "FILE_DISPOSITION_FLAG_POSIX_SEMANTICS",
    "FILE_RENAME_FLAG_POSIX_SEMANTICS", "FILE_RENAME_FLAG_REPLACE_IF_EXISTS",
    "FileDispositionInformationEx", "FileRenameInformationEx", "FileStatInformation",
    "FileCaseSensitiveInformation"]})
# Functions of Windows 8 and later, found by name wherever they stand: in
# the sources, and as text in the program (a name looked up at run time).
NEWER_FUNCTIONS = {name: W8 for name in [
    "CreateFile2", "CopyFile2", "GetSystemTimePreciseAsFileTime", "CreateFileMappingFromApp",
    "MapViewOfFileFromApp", "LoadPackagedLibrary", "GetOverlappedResultEx", "WaitOnAddress",
    "WakeByAddressSingle", "WakeByAddressAll", "GetCurrentThreadStackLimits",
    "PrefetchVirtualMemory", "SetDefaultDllDirectories", "AddDllDirectory",
    "RemoveDllDirectory", "GetProcessMitigationPolicy", "SetProcessMitigationPolicy",
    "GetCurrentPackageFullName", "GetCurrentPackageId", "GetFirmwareType", "PathCchCombine",
    "PathCchCombineEx", "PathCchCanonicalize", "PathCchCanonicalizeEx", "PathCchAppend",
    "PathAllocCombine", "PathAllocCanonicalize"]}
NEWER_FUNCTIONS.update({name: W81 for name in [
    "DiscardVirtualMemory", "OfferVirtualMemory", "ReclaimVirtualMemory"]})
NEWER_FUNCTIONS.update({name: W10 for name in [
    "SetThreadDescription", "GetThreadDescription", "VirtualAlloc2", "MapViewOfFile3",
    "CompareObjectHandles", "GetTempPath2W", "GetTempPath2A", "GetFileInformationByName"]})
NEWER.update(NEWER_FUNCTIONS)

# File system control codes of Windows 8 and later: name, function number,
# method and access of CTL_CODE(FILE_DEVICE_FILE_SYSTEM, ...). MinGW's
# headers lack most of them, so they turn up as bare numbers too.
NEWER_CODES = {}
for version, codes in [
    (W8, [("FILE_LEVEL_TRIM", 130, 0, 2), ("CORRUPTION_HANDLING", 152, 0, 0),
          ("OFFLOAD_READ", 153, 0, 1), ("OFFLOAD_WRITE", 154, 0, 2),
          ("SET_PURGE_FAILURE_MODE", 156, 0, 0), ("QUERY_FILE_LAYOUT", 157, 3, 0),
          ("IS_VOLUME_OWNED_BYCSVFS", 158, 0, 0), ("GET_INTEGRITY_INFORMATION", 159, 0, 0),
          ("SET_INTEGRITY_INFORMATION", 160, 0, 3), ("QUERY_FILE_REGIONS", 161, 0, 0),
          ("DEDUP_FILE", 165, 0, 0), ("DEDUP_QUERY_FILE_HASHES", 166, 3, 1),
          ("DEDUP_QUERY_RANGE_STATE", 167, 3, 1), ("DEDUP_QUERY_REPARSE_INFO", 168, 3, 0),
          ("RKF_INTERNAL", 171, 3, 0), ("SCRUB_DATA", 172, 0, 0), ("REPAIR_COPIES", 173, 0, 3),
          ("DISABLE_LOCAL_BUFFERING", 174, 0, 0), ("CSV_MGMT_LOCK", 175, 0, 0),
          ("ADVANCE_FILE_ID", 177, 0, 0), ("CSV_SYNC_TUNNEL_REQUEST", 178, 0, 0),
          ("WRITE_USN_REASON", 180, 0, 0), ("CSV_CONTROL", 181, 0, 0),
          ("GET_REFS_VOLUME_DATA", 182, 0, 0), ("SHUFFLE_FILE", 208, 0, 3)]),
    (W81, [("QUERY_STORAGE_CLASSES", 187, 0, 0), ("QUERY_REGION_INFO", 188, 0, 0),
           ("USN_TRACK_MODIFIED_RANGES", 189, 0, 0), ("SET_EXTERNAL_BACKING", 195, 0, 0),
           ("GET_EXTERNAL_BACKING", 196, 0, 0), ("DELETE_EXTERNAL_BACKING", 197, 0, 0),
           ("ENUM_EXTERNAL_BACKING", 198, 0, 0), ("ENUM_OVERLAY", 199, 3, 0),
           ("SPARSE_OVERALLOCATE", 211, 0, 0), ("STORAGE_QOS_CONTROL", 212, 0, 0)]),
    ("Windows Server 2016", [("DUPLICATE_EXTENTS_TO_FILE", 209, 0, 2)]),
    (W10, [("INITIATE_FILE_METADATA_OPTIMIZATION", 215, 0, 0),
           ("QUERY_FILE_METADATA_OPTIMIZATION", 216, 0, 0),
           ("QUERY_EXTENT_READ_CACHE_INFO", 221, 3, 0), ("CLEAN_VOLUME_METADATA", 223, 0, 0),
           ("SET_INTEGRITY_INFORMATION_EX", 224, 0, 0),
           ("FILESYSTEM_GET_STATISTICS_EX", 227, 0, 0)])]:
    for name, function, method, access in codes:
        NEWER_CODES[(9 << 16) | (access << 14) | (function << 2) | method] = "FSCTL_" + name
        NEWER["FSCTL_" + name] = version
NEWER["FSCTL_DUPLICATE_EXTENTS_TO_FILE_EX"] = W10
# What CTL_CODE(...) is built from, for codes written out that way.
CTL_PARTS = {"FILE_DEVICE_FILE_SYSTEM": 9, "FILE_DEVICE_DISK": 7, "FILE_DEVICE_MASS_STORAGE": 0x2D,
             "METHOD_BUFFERED": 0, "METHOD_IN_DIRECT": 1, "METHOD_OUT_DIRECT": 2,
             "METHOD_NEITHER": 3, "FILE_ANY_ACCESS": 0, "FILE_SPECIAL_ACCESS": 0,
             "FILE_READ_ACCESS": 1, "FILE_READ_DATA": 1, "FILE_WRITE_ACCESS": 2,
             "FILE_WRITE_DATA": 2}

NUMBER = r"(0[xX][0-9a-fA-F]+|\d+)[uUlL]*"
NAME_PATTERN = re.compile(r"\b(" + "|".join(sorted(set(NEWER) | set(OLDER_CLASSES))) +
                          r"|(?:FSCTL|IOCTL)_[A-Z0-9_]+)\b")
CLASS_BY_NUMBER = [
    re.compile(r"\(\s*FILE_INFO_BY_HANDLE_CLASS\s*\)\s*\(?\s*" + NUMBER),
    re.compile(r"_cast\s*<\s*FILE_INFO_BY_HANDLE_CLASS\s*>\s*\(\s*" + NUMBER),
    # C takes a bare number where the enumeration is asked for.
    re.compile(r"\b(?:GetFileInformationByHandleEx|SetFileInformationByHandle)\s*\("
               r"[^,;]*,\s*" + NUMBER + r"\s*,"),
]
CODE_BY_NUMBER = re.compile(r"\bDeviceIoControl\s*\([^,;]*,\s*(?:\(\s*DWORD\s*\)\s*)?"
                            + NUMBER + r"\s*,")
CTL_CODE = re.compile(r"\bCTL_CODE\s*\(([^()]*)\)")
LITERAL = re.compile(r"(?<![\w.])" + NUMBER + r"\b")
LOOKUP = re.compile(r"\bGetProcAddress\s*\(\s*[^,;]*,\s*(?:\(\s*LPCSTR\s*\)\s*)?"
                    r"(\"([^\"]*)\"|[^)\s]+)")


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
            if name in NEWER:
                problems.append(f"table: {name} is listed as {oldest}, but needs {NEWER[name]}")
    if not names:
        problems.append(f"table: no rows under '{TABLE_START}' in {doc}")
    return names, problems


def imports_of(objdump_text):
    """[(dll, function)] that the program imports."""
    found, dll = [], None
    for line in objdump_text.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            dll = match.group(1).lower()
        elif not line.strip():
            dll = None
        elif dll and re.match(r"\s*[0-9a-f]+\s+\d+\s+\S+\s*$", line):
            found.append((dll, line.split()[2]))
    return found


class Image:
    """The sections of a PE file, enough to read its delay-import tables."""

    def __init__(self, data):
        self.data = data
        header = struct.unpack_from("<I", data, 0x3C)[0]
        sections, optional_size = struct.unpack_from("<H12xH", data, header + 6)
        optional = header + 24
        self.wide = struct.unpack_from("<H", data, optional)[0] == 0x20B
        self.base = struct.unpack_from("<Q" if self.wide else "<I", data,
                                       optional + (24 if self.wide else 28))[0]
        directories = optional + (112 if self.wide else 96)
        self.delay_directory = struct.unpack_from("<I", data, directories + 13 * 8)[0]
        # (size, address, raw size, file offset, flags) of each section.
        self.sections = [struct.unpack_from("<8xIIII12xI", data, optional + optional_size + 40 * i)
                         for i in range(sections)]

    def offset(self, rva):
        for size, address, raw_size, raw, _ in self.sections:
            if address <= rva < address + min(size or raw_size, raw_size):
                return raw + rva - address
        return None

    def loaded(self):
        """The file's bytes of each section that is loaded to run (debug
        information is not): (offset, length)."""
        discardable = 0x02000000
        return [(raw, min(size or raw_size, raw_size))
                for size, _, raw_size, raw, flags in self.sections if not flags & discardable]

    def text(self, rva, pattern=rb"[\x21-\x7e]{1,255}"):
        at = self.offset(rva)
        match = re.compile(pattern + rb"\0").match(self.data, at) if at is not None else None
        return match.group(0)[:-1].decode() if match else None

    def descriptor(self, at):
        """(dll, [names]) of the delay-import descriptor at file offset `at`,
        or None when there is none there."""
        attributes, dll, module, iat, names_at = struct.unpack_from("<5I", self.data, at)
        stamp = struct.unpack_from("<I", self.data, at + 28)[0]
        shift = 0 if attributes & 1 else self.base  # old tables hold addresses
        if attributes > 1 or stamp or dll < shift or names_at < shift or not module or not iat:
            return None
        dll = self.text(dll - shift, rb"[\w.-]+\.[dD][lL][lL]")
        where = self.offset(names_at - shift)
        if dll is None or where is None:
            return None
        names, step = [], 8 if self.wide else 4
        while where + step <= len(self.data):
            thunk = struct.unpack_from("<Q" if self.wide else "<I", self.data, where)[0]
            if not thunk:
                return dll, names
            if thunk >> (step * 8 - 1):
                names.append(f"#{thunk & 0xFFFF}")
            else:
                name = self.text(thunk - shift + 2, rb"[A-Za-z_?@][\w?@$]*")
                if name is None:
                    return None
                names.append(name)
            where += step
        return None


def delay_imports_of(exe):
    """[(dll, function)] that the program loads only when first called. MSVC
    and lld list them in the delay-import directory; GNU ld leaves that empty
    and keeps dlltool's descriptors among its data, so every place where one
    can stand is tried as well."""
    image, found = Image(pathlib.Path(exe).read_bytes()), set()
    starts = []
    if image.delay_directory and image.offset(image.delay_directory) is not None:
        at = image.offset(image.delay_directory)
        while any(image.data[at:at + 32]):
            starts.append(at)
            at += 32
    # A descriptor of GNU ld starts with the flag "addresses are RVAs".
    for raw, length in image.loaded():
        at = image.data.find(b"\1\0\0\0", raw, raw + length - 31)
        while at != -1:
            if (at - raw) % 4 == 0:
                starts.append(at)
            at = image.data.find(b"\1\0\0\0", at + 1, raw + length - 31)
    for at in starts:
        described = image.descriptor(at)
        if described:
            found.update((described[0].lower(), name) for name in described[1])
    return sorted(found)


def carried_names(exe):
    """Functions of Windows 8 and later whose names the program holds as text
    where it runs (not in its debug information)."""
    image = Image(pathlib.Path(exe).read_bytes())
    parts = [image.data[raw:raw + length] for raw, length in image.loaded()]
    return sorted(name for name in NEWER_FUNCTIONS
                  if any(re.search(rb"(?<![\w])" + name.encode() + rb"\0", p) for p in parts))


def number(text):
    return int(text, 16) if text.lower().startswith("0x") else int(text)


def ctl_code(arguments):
    parts = [a.strip() for a in arguments.split(",")]
    values = []
    for part in parts:
        value = 0
        for piece in part.split("|"):
            piece = piece.strip().strip("()")
            if piece in CTL_PARTS:
                value |= CTL_PARTS[piece]
            elif re.fullmatch(NUMBER, piece):
                value |= number(re.match(NUMBER, piece).group(1))
            else:
                return None
        values.append(value)
    if len(values) != 4:
        return None
    device, function, method, access = values
    return (device << 16) | (access << 14) | (function << 2) | method


def findings(text, table):
    """(offset, name, problem) for each use in `text` that the floor forbids;
    `name` is what a never-binds list would have to hold to allow it."""
    classes = {name for source, name in table if source == CLASS_ROW}
    codes = {name for source, name in table if source == CODE_ROW}
    functions = {name for source, name in table if source.endswith(".dll")}
    found = []

    def judge(at, name, via=""):
        missing = name not in classes if name in OLDER_CLASSES else \
            name not in codes and re.match(r"(FSCTL|IOCTL)_", name)
        if name in NEWER:
            found.append((at, name, f"{name}{via} is not supported before {NEWER[name]}"))
        elif missing:
            found.append((at, name, f"{name}{via} is missing from the table"))

    for match in NAME_PATTERN.finditer(text):
        judge(match.start(), match.group(1))
    for pattern in CLASS_BY_NUMBER:
        for match in pattern.finditer(text):
            value = number(match.group(1))
            if value < len(CLASSES):
                judge(match.start(), CLASSES[value], f" (information class {value})")
            else:
                found.append((match.start(), str(value), f"information class {value} is unknown"))
    for match in CODE_BY_NUMBER.finditer(text):
        value = number(match.group(1))
        if value not in NEWER_CODES:
            found.append((match.start(), hex(value),
                          f"control code {value:#x} by number: name it, for the table"))
    built = [(m.start(), ctl_code(m.group(1))) for m in CTL_CODE.finditer(text)]
    literals = [(m.start(), number(m.group(1))) for m in LITERAL.finditer(text)]
    for at, value in built + literals:
        if value in NEWER_CODES:
            judge(at, NEWER_CODES[value], f" (control code {value:#x})")
    for match in LOOKUP.finditer(text):
        name = match.group(2)
        if name is None:
            found.append((match.start(), match.group(1),
                          f"GetProcAddress looks up {match.group(1)}: the check can only read "
                          "a name written here"))
        elif name not in functions and name not in NEWER:
            found.append((match.start(), name,
                          f"GetProcAddress looks up {name}, which the table lacks"))
    return found


def without_comments(text):
    """C text with each comment blanked out, its line ends kept: a name in a
    comment is no use of it (SQLite's comments mention GetProcAddress())."""
    return re.sub(r"/\*.*?\*/|//[^\n]*", lambda m: re.sub(r"[^\n]", " ", m.group(0)), text,
                  flags=re.S)


def check_text(path, table, allowed=frozenset(), text=None):
    if text is None:
        text = pathlib.Path(path).read_text(errors="replace")
    return [f"{path}:{text.count(chr(10), 0, at) + 1}: {problem}"
            for at, name, problem in findings(text, table) if name not in allowed]


def read_never_binds(path):
    names = []
    for line in pathlib.Path(path).read_text(encoding="utf-8").splitlines():
        name = line.split("#", 1)[0].strip()
        if name:
            names.append(name)
    return names


def check_foreign(path, list_path, table, bound):
    """The foreign file's findings that its list does not allow, and each
    name on the list that the file does not carry or the program binds."""
    allowed = read_never_binds(list_path)
    text = without_comments(pathlib.Path(path).read_text(errors="replace"))
    problems = check_text(path, table, set(allowed), text)
    for name in allowed:
        if not re.search(r"\b" + re.escape(name) + r"\b", text):
            problems.append(f"{list_path}: {name} is listed, but {path} does not carry it")
        if name in bound:
            problems.append(f"{list_path}: {name} is listed as never bound, but the program "
                            "imports it")
    return problems


def exe_facts(exe, objdump):
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    return imports_of(text), delay_imports_of(exe), carried_names(exe)


def check(exe, doc, src, objdump, foreign=(), facts=None):
    table, problems = read_table(doc)
    imports, delayed, carried = facts or exe_facts(exe, objdump)
    if not imports:
        problems.append(f"{exe}: no imports found")
    problems += [f"imports {dll} {name}, which the table lacks"
                 for dll, name in imports if (dll, name) not in table]
    problems += [f"delay-loads {dll} {name}, which the table lacks"
                 for dll, name in delayed if (dll, name) not in table]
    never_bound = set()
    bound = {name for _, name in imports + delayed}
    for path, list_path in foreign:
        never_bound.update(read_never_binds(list_path))
        problems += check_foreign(path, list_path, table, bound)
    problems += [f"{exe}: carries the name {name} ({NEWER[name]}), which no never-binds "
                 "list holds" for name in carried if name not in never_bound]
    skipped = {pathlib.Path(path).resolve() for path, _ in foreign}
    for path in sorted(pathlib.Path(src).rglob("*")):
        if path.is_file() and path.resolve() not in skipped:
            problems += check_text(path, table)
    return problems


# Each planted line, and what the report must then name.
PLANTS = [
    ("constexpr FILE_INFO_BY_HANDLE_CLASS kPlanted = FileIdExtdDirectoryInfo;",
     "FileIdExtdDirectoryInfo is not supported"),
    ("GetFileInformationByHandleEx(h, static_cast<FILE_INFO_BY_HANDLE_CLASS>(18), &i, 24);",
     "FileIdInfo (information class 18) is not supported"),
    ("DeviceIoControl(h, FSCTL_DUPLICATE_EXTENTS_TO_FILE, &d, sizeof d, 0, 0, &n, 0);",
     "FSCTL_DUPLICATE_EXTENTS_TO_FILE is not supported"),
    ("constexpr DWORD kClone = 0x98344;", "TO_FILE (control code 0x98344) is not supported"),
    ("DeviceIoControl(h, 0x900a8, nullptr, 0, &b, sizeof b, &n, nullptr);",
     "control code 0x900a8 by number"),
    ("auto f = GetProcAddress(k, \"GetSystemTimePreciseAsFileTime\");",
     "GetSystemTimePreciseAsFileTime is not supported"),
    ("auto f = GetProcAddress(k, \"GetNumaHighestNodeNumber\");",
     "looks up GetNumaHighestNodeNumber, which the table lacks"),
]


def build_delay_loader(temp, objdump):
    """A small program that delay-loads bcrypt.dll's BCryptGenRandom, built
    with the toolchain whose objdump is given."""
    prefix = objdump[:-len("objdump")]
    pathlib.Path(temp, "bcrypt.def").write_text("LIBRARY bcrypt.dll\nEXPORTS\nBCryptGenRandom@16\n")
    pathlib.Path(temp, "main.c").write_text(
        "long __stdcall BCryptGenRandom(void*, unsigned char*, unsigned long, unsigned long);\n"
        "int main(void) { unsigned char b[4]; return (int)BCryptGenRandom(0, b, 4, 2); }\n")
    exe = pathlib.Path(temp, "delayed.exe")
    subprocess.run([prefix + "dlltool", "-k", "--input-def", "bcrypt.def", "--dllname",
                    "bcrypt.dll", "--output-delaylib", "libbcrypt_delay.a"], cwd=temp, check=True)
    subprocess.run([prefix + "gcc", "main.c", "-L.", "-lbcrypt_delay", "-o", exe.name],
                   cwd=temp, check=True)
    return exe


def self_test(exe, doc, src, objdump, foreign=()):
    """Plants one fault of each kind in copies; each must be caught."""
    failures = []
    facts = exe_facts(exe, objdump)

    def expect(problems, wanted, what):
        if not any(wanted in p for p in problems):
            failures.append(f"{what} passed")

    with tempfile.TemporaryDirectory() as temp:
        planted_src = pathlib.Path(temp, "src")
        for line, wanted in PLANTS:
            shutil.rmtree(planted_src, ignore_errors=True)
            shutil.copytree(src, planted_src)
            target = next(iter(sorted(planted_src.rglob("*.cpp"))))
            with open(target, "a") as f:
                f.write(f"\n{line}\n")
            expect(check(exe, doc, planted_src, objdump, foreign, facts), wanted,
                   f"planted in the sources: {line}")
        dll, name = facts[0][0]
        planted_doc = pathlib.Path(temp, "windows.md")
        text = pathlib.Path(doc).read_text(encoding="utf-8")
        planted_doc.write_text(text.replace(f"`{name}`", "", 1), encoding="utf-8")
        expect(check(exe, planted_doc, src, objdump, foreign, facts), f" {name},",
               f"the import {name} taken out of the table")
        delayed = build_delay_loader(temp, objdump)
        expect(check(delayed, doc, src, objdump, foreign), "delay-loads bcrypt.dll BCryptGenRandom",
               "a delay import of BCryptGenRandom")
        # Foreign code: a Windows 8 name passes only when its list holds it,
        # and a list may not hold what the program imports.
        carrier, names = pathlib.Path(temp, "foreign.c"), pathlib.Path(temp, "never-binds.txt")
        carrier.write_text('{ "CreateFile2", (SYSCALL)0, 0 },\n')
        for listed, wanted in [("", "CreateFile2 is not supported"),
                               ("CreateFile2\nDeleteFileW\n", "DeleteFileW is listed as never"),
                               ("CreateFile2\nCopyFile2\n", "foreign.c does not carry it")]:
            names.write_text(listed)
            expect(check(exe, doc, src, objdump, list(foreign) + [(carrier, names)], facts),
                   wanted, f"a foreign file with the never-binds list {listed!r}")
        names.write_text("CreateFile2 # behind a version check\n")
        if check(exe, doc, src, objdump, list(foreign) + [(carrier, names)], facts):
            failures.append("a foreign Windows 8 name on its never-binds list failed")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--table", required=True)
    parser.add_argument("--src", required=True)
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    parser.add_argument("--foreign", action="append", default=[])
    parser.add_argument("--never-binds", action="append", default=[])
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if len(args.foreign) != len(args.never_binds):
        parser.error("each --foreign FILE needs its --never-binds LIST")
    foreign = list(zip(args.foreign, args.never_binds))
    run = self_test if args.self_test else check
    problems = run(args.exe, args.table, args.src, args.objdump, foreign)
    for problem in problems:
        print(problem)
    if not problems:
        what = "catches every planted fault" if args.self_test else \
            "imports, lookups, information classes and control codes all of Windows 7 or earlier"
        print(f"{args.exe}: {what}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
