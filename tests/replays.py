#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The syscall-probes authors
# SPDX-License-Identifier: MIT
"""Records real observers' runs for the replay tests: `check --keep` on a
few situations under each built-in observer installed here, keeping of each
run its report, standard output and status, and the checker's verdict on
it (the verdict's word and its first lines, up to the diff). The replay
test then judges each report again, with tests/replay-observer giving it
back, on a machine without that observer.

    tests/replays.py BUILD DEST     e.g. build tests/replays/debian-12

run.py's kind `replayed` judges them again with verdicts() below.
"""
import os
import shutil
import subprocess
import sys
import tempfile

SITUATIONS = ['probe1-return-0', 'probe3-return-18', 'probe5-in-source', 'probe5-elsewhere',
              'claimfile-taken-file']
OBSERVERS = ['strace', 'ltrace', 'qemu-user', 'qemu-user-log', 'valgrind', 'perf-trace',
             'uftrace', 'bpftrace']


def verdicts(output):
    """SITUATION -> the verdict's word and its lines up to the diff."""
    found, current = {}, None
    for line in output.splitlines():
        if line and not line.startswith(' '):
            words = line.split(None, 2)
            current = words[0] if len(words) == 3 else None
            if current:
                found[current] = [words[2]]
        elif current and line.strip().startswith('--- '):
            current = None  # the diff: its lines say no more than the first
        elif current:
            found[current].append(line.strip())
    return {name: '\n'.join(lines) + '\n' for name, lines in found.items()}


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip())
    build, dest = sys.argv[1:]
    for observer in OBSERVERS:
        keep = tempfile.mkdtemp()
        done = subprocess.run([os.path.join(build, 'syscall-probes'), 'check', '--keep', keep,
                               '--observer', observer] + SITUATIONS,
                              capture_output=True, text=True)
        told = verdicts(done.stdout)
        for situation in ['empty-main'] + SITUATIONS:
            run = os.path.join(keep, situation, observer)
            verdict = told.get(situation, '')
            if not os.path.isdir(run) or verdict.startswith('skipped'):
                continue
            into = os.path.join(dest, situation, observer)
            os.makedirs(into, exist_ok=True)
            for name in ('report', 'stdout', 'status'):
                shutil.copy(os.path.join(run, name), into)
            if situation != 'empty-main':
                with open(os.path.join(into, 'verdict'), 'w') as f:
                    f.write(verdict)
        shutil.rmtree(keep)
        print(observer, ', '.join('%s %s' % (s, told.get(s, '?').split('\n')[0])
                                  for s in SITUATIONS))


if __name__ == '__main__':
    main()
