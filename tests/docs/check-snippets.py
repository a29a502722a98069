#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""check-snippets.py ROOT MARKDOWN...

Every code snippet in the Markdown files is the text of a file that a build
compiles. A fenced block in C, Objective-C, C++, Swift or CMake follows a
line

    <!-- snippet: PATH -->

(PATH relative to ROOT) and equals PATH's region: the lines between one that
reads "// snippet: begin" and one that reads "// snippet: end" ("#" for
CMake), with the indentation they all share taken off. Any other fenced
block names its language (sh, text, ...) and is left as it is.

Exit status: 0 when every snippet is its region; 1, saying where and how
each differs, otherwise; 64 for a bad command line.
"""
import difflib
import os
import re
import sys
import textwrap

CODE = {"c", "objc", "cpp", "c++", "swift", "cmake"}
MARKER = re.compile(r"^<!-- snippet: (\S+) -->$")
FENCE = re.compile(r"^( *)```(\S*)$")


def region(root, path):
    """PATH's region, its lines dedented, or a sentence saying why it has none."""
    try:
        with open(os.path.join(root, path), encoding="utf-8") as source:
            lines = source.read().split("\n")
    except OSError as error:
        return None, f"cannot read {path}: {error.strerror}"
    marks = [i for i, line in enumerate(lines)
             if re.fullmatch(r"\s*(//|#) snippet: (begin|end)", line)]
    if len(marks) != 2 or not lines[marks[0]].endswith("begin") or not lines[marks[1]].endswith("end"):
        return None, f"{path} has no one region between 'snippet: begin' and 'snippet: end'"
    return textwrap.dedent("\n".join(lines[marks[0] + 1:marks[1]])).split("\n"), None


def check(root, markdown):
    """The problems of one Markdown file, as lines to print."""
    with open(markdown, encoding="utf-8") as text:
        lines = text.read().split("\n")
    problems, marked, i = [], None, 0
    while i < len(lines):
        where = f"{markdown}:{i + 1}"
        marker, fence = MARKER.match(lines[i]), FENCE.match(lines[i])
        if marker:
            marked = (marker.group(1), where)
        elif fence:
            indent = fence.group(1)
            end = next((j for j in range(i + 1, len(lines)) if lines[j] == indent + "```"), None)
            if end is None:
                return problems + [f"{where}: a code block that does not end"]
            # Inside a list item the block's lines carry the fence's indentation.
            language = fence.group(2).lower()
            block = [line[len(indent):] if line.startswith(indent) else line.lstrip(" ") for line in lines[i + 1:end]]
            if not language:
                problems.append(f"{where}: a code block that names no language")
            elif marked:
                wanted, why = region(root, marked[0])
                if why:
                    problems.append(f"{marked[1]}: {why}")
                elif block != wanted:
                    diff = difflib.unified_diff(wanted, block, marked[0], markdown, lineterm="")
                    problems.append(f"{where}: the snippet is not {marked[0]}'s region:\n" + "\n".join(diff))
            elif language in CODE:
                problems.append(f"{where}: a {language} block with no <!-- snippet: PATH --> line before it")
            marked, i = None, end
        elif marked and lines[i].strip():
            problems.append(f"{marked[1]}: the snippet marker is not followed by a code block")
            marked = None
        i += 1
    if marked:
        problems.append(f"{marked[1]}: the snippet marker is not followed by a code block")
    return problems


def main(arguments):
    if len(arguments) < 2:
        print("usage: check-snippets.py ROOT MARKDOWN...", file=sys.stderr)
        return 64
    problems = [problem for markdown in arguments[1:] for problem in check(arguments[0], markdown)]
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
