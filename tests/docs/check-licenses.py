#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""check-licenses.py ROOT [--add]

Every source file under ROOT carries the line "SPDX-License-Identifier:
Apache-2.0" among its first three lines, as a comment of its language:
C, C++, Objective-C and Swift, module maps, Promela, CMake, shell, Python,
YAML and the manual page. Built and fetched trees (build/, .build/, .git/)
and the fuzzers' corpora are not sources.

--add puts the line where it is missing: first, or after a line that must
stay first (#!, swift-tools-version).

Exit status: 0 when every source carries it; 1, naming those that do not;
64 for a bad command line.
"""
import os
import re
import sys

LINE = "SPDX-License-Identifier: Apache-2.0"
SLASHES = (".c", ".h", ".cpp", ".hpp", ".m", ".mm", ".swift", ".modulemap", ".modulemap.in", ".pml")
HASHES = (".cmake", ".cmake.in", ".py", ".sh", ".yml", ".yaml", ".pc.in")
SKIPPED = {"build", ".build", ".git", ".swiftpm", "corpus"}


def comment(path, first):
    """The license line as PATH's language writes a comment; None for a file
    that is no source."""
    name = os.path.basename(path)
    if name.endswith(SLASHES):
        return "// " + LINE
    if name.endswith(HASHES) or name == "CMakeLists.txt" or first.startswith("#!"):
        return "# " + LINE
    if re.fullmatch(r"[^.]+\.[1-9]", name):
        return '.\\" ' + LINE
    return None


def sources(root):
    for folder, folders, files in os.walk(root):
        folders[:] = sorted(f for f in folders if f not in SKIPPED)
        for name in sorted(files):
            yield os.path.join(folder, name)


def main(argv):
    if len(argv) not in (2, 3) or (len(argv) == 3 and argv[2] != "--add"):
        print(__doc__.split("\n\n")[0], file=sys.stderr)
        return 64
    root, add, missing = argv[1], len(argv) == 3, []
    for path in sources(root):
        try:
            with open(path, encoding="utf-8") as source:
                lines = source.read().split("\n")
        except (OSError, UnicodeDecodeError):
            continue
        line = comment(path, lines[0])
        if line is None or any(LINE in text for text in lines[:3]):
            continue
        if not add:
            missing.append(os.path.relpath(path, root))
            continue
        keep = 1 if lines[0].startswith(("#!", "// swift-tools-version")) else 0
        lines.insert(keep, line)
        with open(path, "w", encoding="utf-8") as source:
            source.write("\n".join(lines))
    for path in missing:
        print(f"{path}: no '{LINE}' line among its first three", file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
