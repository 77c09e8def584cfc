#!/usr/bin/env python3
"""Runs a program under valgrind and fails on any error or definite leak
that our own code makes: an invalid access whose first frame is in our
sources, or lost memory that our sources allocated themselves. The toolkit,
its fonts and the software OpenGL lose memory of their own (reached through
our calls) and the dynamic loader reads past its buffers; those are not ours
to fix.

    valgrind_own_code.py SOURCE_ROOT PROGRAM [ARGS...]
"""
import os
import re
import subprocess
import sys

OWN = ("/src/", "/lib/metal_obj/")


def main():
    root = os.path.realpath(sys.argv[1])
    cmd = ["valgrind", "--leak-check=full", "--show-leak-kinds=definite",
           "--num-callers=40", "--error-exitcode=0"] + sys.argv[2:]
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        print(result.stdout)
        print(result.stderr)
        print("the program failed under valgrind (status %d)" % result.returncode)
        return 1
    ours = own_records(result.stderr, root)
    for r in ours:
        print("\n".join(r))
        print()
    print("%d valgrind records in our own code" % len(ours))
    return 1 if ours else 0


def source_root():
    """The source tree this script belongs to."""
    return os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


def own_records(log, root):
    """The error and definite-leak records of a valgrind log whose first
    frame outside the runtimes lies in our own sources."""
    # One record: from a line naming an error or a leak to the next blank line.
    records, current = [], None
    for line in log.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if re.match(r"(Invalid |Conditional jump|Use of uninitialised|Syscall param|"
                     r"Mismatched free|.*definitely lost in)", body):
            current = [body]
            records.append(current)
        elif current is not None:
            if not body.strip():
                current = None
            else:
                current.append(body)
    return [r for r in records if own_frame(first_frame(r), root)]


# Frames of the allocator and the C and C++ runtimes, skipped to find who
# asked for the memory or made the access.
RUNTIME = ("vgpreload", "libstdc++", "libc.so", "ld-linux")


def first_frame(record):
    for line in record[1:]:
        if re.match(r"\s*(at|by) 0x", line) and not any(r in line for r in RUNTIME):
            return line
    return ""


def own_frame(line, root):
    # valgrind names a frame's file without its folder: "(parameters.cpp:42)".
    m = re.search(r"\(([^():]+\.(?:cpp|c|h|inc)):\d+\)", line)
    if not m:
        return False
    name = m.group(1)
    for folder, _, files in os.walk(root):
        if "/build" in folder or "/.git" in folder or "/tests" in folder:
            continue
        if os.path.basename(name) in files and any(o in folder + "/" for o in OWN):
            return True
    return False


if __name__ == "__main__":
    sys.exit(main())
