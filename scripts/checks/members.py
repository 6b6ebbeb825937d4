#!/usr/bin/env python3
"""Usage: members.py ROOT LIBRARY [NM]

The members of TPyQtWrapping are listed once, in tools/hostsupport/members.h: the list is what
the library exports, and every harness calls every member of it, or says in a comment
"not covered: NAME (why)" that it leaves one out. Exits 1 and names what is missing otherwise."""
import re
import subprocess
import sys
from pathlib import Path

HARNESSES = {
    'the allocation sweeps': ['reliability/allocation_failures.cpp', 'reliability/cpp_allocation_failures.cpp'],
    'the threads harness': ['reliability/threads.cpp'],
    'the fuzzer': ['fuzz/fuzz_conversions.cpp'],
    'the conversion reference': ['tools/pyqtwrap/reference.cpp'],
}
SPECIAL = {'TPyQtWrapping', '~TPyQtWrapping', 'operator='}

root, library = Path(sys.argv[1]), sys.argv[2]
nm = sys.argv[3] if len(sys.argv) > 3 else 'nm'
listed = re.findall(r'X\((\w+), "', (root / 'tools/hostsupport/members.h').read_text())
symbols = subprocess.run([nm, '-DC', '--defined-only', library], capture_output=True, text=True, check=True).stdout
exported = set(re.findall(r'TPyQtWrapping::(~?\w+|operator=)\(', symbols)) - SPECIAL
failures = [f'{name}: exported, not in members.h' for name in sorted(exported - set(listed))]
failures += [f'{name}: in members.h, not exported' for name in sorted(set(listed) - exported)]
failures += [f'{name}: listed twice in members.h' for name in sorted({n for n in listed if listed.count(n) > 1})]

def excused(text):
    """The names of a comment "not covered: NAME, NAME (why)", which may run over several lines."""
    names = set()
    for block in re.findall(r'// not covered: ((?:[^\n]*\n)(?://[^\n]*\n)*)', text):
        names |= set(re.findall(r'\w+', block.replace('//', ' ').split('(')[0]))
    return names


for harness, files in HARNESSES.items():
    text = '\n'.join((root / f).read_text() for f in files)
    code = re.sub(r'//[^\n]*', '', text)
    for name in listed:
        if not re.search(r'\b%s\s*\(' % name, code) and name not in excused(text):
            failures.append(f'{name}: {harness} ({", ".join(files)}) neither calls it nor says why not')
for failure in failures:
    print('FAILED:', failure)
if not failures:
    print(f'{len(listed)} members listed once, as exported; every harness calls each or says why not')
sys.exit(1 if failures else 0)
