#!/usr/bin/python3
"""One-line mutation testing of the library, with the unit tests as the judge.

Usage (from the project's root; run with Debian's /usr/bin/python3, whose NumPy the tests import):
    scripts/mutate.py [--count 40] [--seed 1729] [--work /tmp/pyqtwrapping-mutants]
                      [--report WORK/mutation-report.md] [--list]

It copies the committed tree (git ls-files) to WORK/src, configures and builds the unit tests once
in WORK/build and checks that they pass. Then it lists every mutant of the library's sources (one
change on one line of code: a comparison, a logical or arithmetic operator, a boolean, a small
integer, or a call statement removed), draws COUNT of them with SEED, and for each patches its
line, rebuilds the unit tests and runs them. A mutant is killed when a test fails, crashes or
times out; one that does not build is set aside. The report lists the score and every survivor.
"""
import argparse
import random
import re
import shutil
import subprocess
import sys
from pathlib import Path

SOURCES = 'libraries/internal/pyqtwrapping/src'
# The unit tests' programs: the fixture's tests, and the text-unit loops' tests, which build
# textunits.cpp into themselves.
TESTS_TARGETS = ['pyqtwrapping_tests', 'pyqtwrapping_textunits_tests']
# The unit tests that need only those programs (the tool's test needs the tool, and the test of a
# machine without NumPy needs an interpreter without it).
CTEST = ['ctest', '-L', 'unit', '-E', 'pyqtwrap_command_line|numpy_absent', '--timeout', '60']

# (pattern, replacement): each match on a line is one mutant.
OPERATORS = [
    (r' == ', ' != '), (r' != ', ' == '), (r' < ', ' <= '), (r' <= ', ' < '), (r' > ', ' >= '),
    (r' >= ', ' > '), (r' && ', ' || '), (r' \|\| ', ' && '), (r' \+ ', ' - '), (r' - ', ' + '),
    (r'\btrue\b', 'false'), (r'\bfalse\b', 'true'), (r'\(!', '('), (r'(?<![.\w])([0-9])\b(?![.xX])', None),
]
CALL_STATEMENT = re.compile(r'^(\s*)[A-Za-z_][\w:.>-]*\((.*)\);\s*$')


def code_lines(path):
    """(number, text) of the lines of code: no comment, preprocessor or blank line."""
    in_comment = False
    for number, text in enumerate(path.read_text().split('\n'), 1):
        stripped = text.strip()
        if in_comment:
            in_comment = '*/' not in stripped
            continue
        if stripped.startswith('/*'):
            in_comment = '*/' not in stripped
            continue
        if not stripped or stripped.startswith(('//', '#', 'assert(')):  # asserts are compiled out
            continue
        yield number, text


def mutants(root):
    """Every mutant as (file, line, old text, new text)."""
    files = sorted((root / SOURCES).glob('*.cpp')) + [root / SOURCES / 'tpyqtwrapping_p.h']
    for path in files:
        relative = str(path.relative_to(root))
        for number, text in code_lines(path):
            strings = [m.span() for m in re.finditer(r'"(?:\\.|[^"\\])*"', text)]
            comment = next((m.start() for m in re.finditer('//', text)
                            if not any(start <= m.start() < end for start, end in strings)), len(text))
            strings.append((comment, len(text)))
            for pattern, replacement in OPERATORS:
                for match in re.finditer(pattern, text):
                    if any(start <= match.start() < end for start, end in strings):
                        continue  # a message's text, not code
                    new = replacement if replacement is not None else str(int(match.group(1)) + 1)
                    yield relative, number, text, text[:match.start()] + new + text[match.end():]
            call = CALL_STATEMENT.match(text)
            if call and not text.strip().startswith('return'):
                yield relative, number, text, call.group(1) + ';'


def run(command, cwd, timeout=None):
    try:
        return subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def prepare(work):
    """Copies the committed tree and builds the unit tests once; False when they fail unmutated."""
    source, build = work / 'src', work / 'build'
    shutil.rmtree(work, ignore_errors=True)
    files = subprocess.run(['git', 'ls-files', '-z'], capture_output=True, check=True).stdout
    for name in filter(None, files.decode().split('\0')):
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(name, source / name)
    configured = run(['cmake', '-S', str(source), '-B', str(build), '-DCMAKE_BUILD_TYPE=Release',
                      '-DPython3_EXECUTABLE=/usr/bin/python3', '-DPYQTWRAPPING_BUILD_BENCHMARKS=OFF'], '.')
    return configured and build_tests(build) and run(CTEST, build)


def build_tests(build):
    return run(['cmake', '--build', str(build), '--target', *TESTS_TARGETS, '-j2'], '.', timeout=900)


def judge(work, mutant):
    """'killed', 'survived' or 'not built' for one mutant; the line is restored afterwards."""
    relative, number, old, new = mutant
    path = work / 'src' / relative
    original = path.read_text()
    lines = original.split('\n')
    lines[number - 1] = lines[number - 1].replace(old, new, 1)
    path.write_text('\n'.join(lines))
    try:
        if not build_tests(work / 'build'):
            return 'not built'
        return 'survived' if run(CTEST, work / 'build', timeout=600) else 'killed'
    finally:
        path.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--count', type=int, default=40)
    parser.add_argument('--seed', type=int, default=1729)
    parser.add_argument('--work', type=Path, default=Path('/tmp/pyqtwrapping-mutants'))
    parser.add_argument('--report', type=Path, help='default: WORK/mutation-report.md')
    parser.add_argument('--list', action='store_true', help='print the sample and stop')
    options = parser.parse_args()
    options.report = options.report or options.work / 'mutation-report.md'
    every = list(mutants(Path('.')))
    sample = sorted(random.Random(options.seed).sample(every, min(options.count, len(every))),
                    key=lambda m: (m[0], m[1]))
    if options.list:
        for relative, number, old, new in sample:
            print(f'{relative}:{number}: {old.strip()}  ->  {new.strip()}')
        return 0
    if not prepare(options.work):
        print('the unit tests fail or do not build without any mutant', file=sys.stderr)
        return 1
    results = []
    for index, mutant in enumerate(sample, 1):
        results.append((mutant, judge(options.work, mutant)))
        print(f'[{index}/{len(sample)}] {mutant[0]}:{mutant[1]}: {results[-1][1]}', flush=True)
    write_report(options, len(every), results)
    return 0


def write_report(options, candidates, results):
    killed = sum(1 for _, outcome in results if outcome == 'killed')
    judged = sum(1 for _, outcome in results if outcome != 'not built')
    lines = [f'# Mutation testing (seed {options.seed})', '',
             f'{candidates} mutants in all; {len(results)} drawn, {judged} built, {killed} killed: '
             f'score {100 * killed // max(judged, 1)}%.', '', '## Survivors', '']
    lines += [f'- `{m[0]}:{m[1]}`: `{m[2].strip()}` became `{m[3].strip()}`'
              for m, outcome in results if outcome == 'survived']
    options.report.write_text('\n'.join(lines) + '\n')
    print('\n'.join(lines[:3]))


if __name__ == '__main__':
    sys.exit(main())
