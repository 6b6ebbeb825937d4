#!/usr/bin/env python3
"""Lists the C++ functions of the given files whose body runs past a number of lines (default 50).

A function body is the block that opens with a line holding only "{" after a line that closes a
parameter list, as the project's format puts it; lambdas and blocks inside count to their function.
Exits 1 when a function is too long."""
import re
import sys


def bodies(lines):
    for start, line in enumerate(lines):
        if line.strip() != "{" or start == 0:
            continue
        head = lines[start - 1].rstrip()
        if not re.search(r"\)\s*(const)?\s*(noexcept)?\s*(override)?\s*(->\s*[\w:<>, ]+)?$", head):
            continue
        if re.match(r"\s*(if|for|while|switch|else|do|catch)\b", head) or head.strip().startswith("}"):
            continue
        indent = len(line) - len(line.lstrip())
        for end in range(start + 1, len(lines)):
            text = lines[end]
            if text.strip().startswith("}") and len(text) - len(text.lstrip()) == indent:
                yield head.strip(), start, end
                break


def main():
    limit = 50
    args = sys.argv[1:]
    if args and args[0].startswith("--max="):
        limit = int(args.pop(0)[6:])
    long_ones = 0
    for path in args:
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        for head, start, end in bodies(lines):
            length = end - start - 1
            if length > limit:
                long_ones += 1
                print(f"{path}:{start}: {length} lines: {head}")
    return 1 if long_ones else 0


if __name__ == "__main__":
    sys.exit(main())
