#!/usr/bin/env python3
"""Writes a release tree for the benchmarks.

    make_tree.py FOLDER FILES FOLDERS BYTES

FILES files of BYTES bytes each, spread evenly over FOLDERS subfolders
(CD01, CD02, ...), plus nothing else. Contents differ per file so that no
file system can share blocks between them.
"""
import os
import sys


def main():
    root, files, folders, size = sys.argv[1], *map(int, sys.argv[2:5])
    block = os.urandom(size)
    per_folder = -(-files // folders)
    for i in range(files):
        folder = os.path.join(root, "CD%02d" % (i // per_folder + 1))
        if i % per_folder == 0:
            os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%06d.rar" % i), "wb") as out:
            if size:
                out.write(i.to_bytes(8, "little") + block[8:])


if __name__ == "__main__":
    main()
