#!/usr/bin/env python3
"""The rows of a registry export (reg export's UTF-16 .reg file), one per
line as KEY<TAB>NAME<TAB>VALUE (NAME "@" for a key's default value, an empty
key as KEY<TAB><TAB>), sorted, so that two exports compare with diff.

  registry.py rows EXPORT.reg [KEY-PREFIX...]
      the rows, only those of keys under one of the prefixes when given
  registry.py same-rows A B WINEPATH...
      exit 0 when the row files A and B hold the same rows, a value naming a
      file counting as equal to another name of the same file (the long and
      the short form of a path); the command WINEPATH... turns a Windows
      path into a Unix one
"""
import os
import subprocess
import sys


def rows(path, prefixes):
    text = open(path, encoding="utf-16").read().replace("\r\n", "\n")
    # Long values continue on the next line after a trailing backslash.
    text = text.replace("\\\n  ", "")
    def wanted(key):
        return not prefixes or any(key.lower().startswith(p.lower()) for p in prefixes)

    key, out = None, []
    for line in text.split("\n"):
        if line.startswith("[") and line.endswith("]"):
            key = line[1:-1] if wanted(line[1:-1]) else None
            if key:
                out.append(f"{key}\t\t")
        elif key and line.startswith("@="):
            out.append(f"{key}\t@\t{line[2:]}")
        elif key and line.startswith('"'):
            name, _, value = line[1:].partition('"=')
            out.append(f"{key}\t{name}\t{value}")
    return sorted(set(out))


def unix_path(value, winepath):
    if len(value) < 4 or value[1:3] != ":\\":
        return None
    try:
        out = subprocess.run(winepath + [value], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    path = out.stdout.strip()
    return os.path.realpath(path) if path and os.path.exists(path) else None


def same_rows(a, b, winepath):
    left = [l.rstrip("\n") for l in open(a)]
    right = [l.rstrip("\n") for l in open(b)]
    only_left = sorted(set(left) - set(right))
    only_right = sorted(set(right) - set(left))
    # A row that differs in the form of a file's path alone is the same row.
    for row in list(only_left):
        key, name, value = row.split("\t", 2)
        for other in only_right:
            okey, oname, ovalue = other.split("\t", 2)
            if (okey, oname) != (key, name):
                continue
            strip = lambda v: v.strip('"').replace("\\\\", "\\")
            file = unix_path(strip(value), winepath)
            if file and file == unix_path(strip(ovalue), winepath):
                only_left.remove(row)
                only_right.remove(other)
                break
    for row in only_left:
        print(f"only in {os.path.basename(a)}: {row}")
    for row in only_right:
        print(f"only in {os.path.basename(b)}: {row}")
    return not only_left and not only_right


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "rows":
        print("\n".join(rows(sys.argv[2], sys.argv[3:])))
    elif len(sys.argv) >= 5 and sys.argv[1] == "same-rows":
        sys.exit(0 if same_rows(sys.argv[2], sys.argv[3], sys.argv[4:]) else 1)
    else:
        sys.exit(__doc__)
