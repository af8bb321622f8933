#!/usr/bin/env python3
"""Writes a release tree for the benchmarks.

    make_tree.py FOLDER FILES FOLDERS BYTES
    make_tree.py --deep FOLDER LEVELS NAME_BYTES
    make_tree.py --sfv FOLDER LINES BYTES

The first form: FILES files of BYTES bytes each, spread evenly over FOLDERS
subfolders (CD01, CD02, ...), plus nothing else. Contents differ per file so
that no file system can share blocks between them.

--deep: LEVELS folders nested in one another, each named with NAME_BYTES
bytes, and one small file at the bottom. The whole path is far longer than
PATH_MAX, so the tree is made through open folders, one level at a time.

--sfv: one file "f.rar" of BYTES bytes and "f.sfv", whose LINES lines all
name f.rar with its right CRC-32.
"""
import os
import sys
import zlib


def files(root, count, folders, size):
    block = os.urandom(size)
    per_folder = -(-count // folders)
    for i in range(count):
        folder = os.path.join(root, "CD%02d" % (i // per_folder + 1))
        if i % per_folder == 0:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%06d.rar" % i), "wb") as out:
            if size:
                out.write(i.to_bytes(8, "little") + block[8:])


def deep(root, levels, name_bytes):
    os.makedirs(root)
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    for level in range(levels):
        name = ("d%05d" % level).ljust(name_bytes, "x")
        os.mkdir(name, dir_fd=fd)
        below = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = below
    out = os.open("bottom.nfo", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
    os.write(out, b"the bottom\n")
    os.close(out)
    os.close(fd)


def sfv(root, lines, size):
    os.makedirs(root)
    data = os.urandom(size)
    with open(os.path.join(root, "f.rar"), "wb") as out:
        out.write(data)
    line = "f.rar %08X\r\n" % zlib.crc32(data)
    with open(os.path.join(root, "f.sfv"), "w", newline="") as out:
        out.write(line * lines)


def main():
    if sys.argv[1] == "--deep":
        deep(sys.argv[2], *map(int, sys.argv[3:5]))
    elif sys.argv[1] == "--sfv":
        sfv(sys.argv[2], *map(int, sys.argv[3:5]))
    else:
        files(sys.argv[1], *map(int, sys.argv[2:5]))


if __name__ == "__main__":
    main()
