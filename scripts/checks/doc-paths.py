#!/usr/bin/env python3
"""Usage: doc-paths.py ROOT TOOL

What the documentation names exists: every relative link and every path of the project's folders
written in backticks in README.md and docs/*.md, and every pyqtwrap option: the manual page lists
exactly the long options that TOOL --help lists."""
import os
import re
import subprocess
import sys

root, tool = sys.argv[1:3]
folders = [e for e in os.listdir(root) if not e.startswith('build')]
failures = []
docs = ['README.md'] + sorted('docs/' + f for f in os.listdir(os.path.join(root, 'docs')) if f.endswith('.md'))
for doc in docs:
    base = os.path.dirname(os.path.join(root, doc))
    for n, line in enumerate(open(os.path.join(root, doc)).read().split('\n'), 1):
        for target in re.findall(r'\]\(([^)\s]+)\)', line):
            path = target.split('#')[0]
            if path and not re.match(r'[a-z]+:', path) and not os.path.exists(os.path.join(base, path)):
                failures.append(f'{doc}:{n}: a link to {target}, which does not exist')
        for code in re.findall(r'`([^`]+)`', line):
            words = code.split()
            path = re.sub(r'[:,;.)]+$', '', words[0]) if words else ''
            if '/' not in path or path.split('/')[0] not in folders or re.search(r'[*?{<$]', path):
                continue  # not a path of the project's tree (a build output, a pattern, a command)
            if not os.path.exists(os.path.join(root, path)):
                failures.append(f'{doc}:{n}: {path}, which does not exist')

page = open(os.path.join(root, 'tools/pyqtwrap/pyqtwrap.1')).read()
on_page = set(re.findall(r'\\-\\-([a-z][a-z-]*)', page.split('.SH OPTIONS')[1].split('.SH ')[0]))
helped = subprocess.run([tool, '--help'], capture_output=True, text=True, check=True).stdout
in_help = set(re.findall(r'^ {2}(?:-\w, )?--([a-z][a-z-]*)', helped, re.M))
for option in sorted(on_page ^ in_help):
    where = 'the manual page' if option in on_page else '--help'
    failures.append(f'pyqtwrap option --{option} is listed by {where} only')

for failure in failures:
    print('FAILED:', failure)
if not failures:
    print(f'ok: the paths and links of {len(docs)} documents exist; the manual page and --help list '
          f'the same {len(in_help)} options')
sys.exit(1 if failures else 0)
