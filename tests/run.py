#!/usr/bin/env python3
"""Runs one case of tests/cases against the built programs.

    run.py BUILD_DIR CASE          run and compare; exit 0 pass, 1 fail, 77 skip
    run.py BUILD_DIR CASE --show   print what the case observed, compare nothing

A case starts its program under strace, as a user would start it, and checks
what a user and an observer see: standard output bytes and standard error,
the exit status, the working folder afterwards (tests/expected/CASE.dir) and
the calls each process made from main on (CASE.trace, and CASE.child.trace
for a forked child), compared line for line after normalising addresses and
pids. Settings in the table change how the program is started; see the head
of tests/cases.
"""
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

TESTS = os.path.dirname(os.path.abspath(__file__))
EXPECTED = os.path.join(TESTS, 'expected')
SKIP = 77
OLD_TIME = 1000000000  # mtime given to whatever a case puts there beforehand
PID_CALL = re.compile(r'^(getpid|getppid|fork|vfork|clone3?)\(.*\) = (\d+)$')


def skip(reason):
    print('skipped: ' + reason)
    sys.exit(SKIP)


def load_case(name):
    with open(os.path.join(TESTS, 'cases')) as table:
        for line in table:
            words = line.split()
            if words and words[0] == name:
                settings = dict(w.partition('=')[::2] for w in words[3:])
                return words[1], int(words[2]), settings
    sys.exit('no case named ' + name)


def events(trace_file):
    """A strace -k file as [call line, its backtrace frames] pairs."""
    result = []
    with open(trace_file) as trace:
        for line in trace.read().splitlines():
            if not line.startswith(' > '):
                result.append([line, []])
            else:  # exit_group's frames follow the "+++ exited" line
                calls = [e for e in result if not e[0].startswith(('---', '+++'))]
                calls[-1][1].append(line)
    return result


def normalise(line):
    line = re.sub(r'\)\s+= ', ') = ', line)  # strace pads results to a column
    match = PID_CALL.match(line)
    if match:
        line = line[:match.start(2)] + 'PID'
    line = re.sub(r'0x[0-9a-f]+', 'ADDR', line)
    return re.sub(r'^getrandom\("(?:[^"\\]|\\.)*"', 'getrandom(BYTES', line)


def from_main_on(evs, program):
    """The calls made once the program's own code is on the stack (main and
    the exit it returns to), without backtraces. The SIGCHLD that a child's
    end sends is dropped: when it arrives depends on scheduling."""
    mine = ' > %s(' % os.path.realpath(program)
    for i, (_, frames) in enumerate(evs):
        if any(f.startswith(mine) for f in frames):
            return [normalise(call) for call, _ in evs[i:]
                    if not call.startswith('--- SIGCHLD')]
    return None


def syscall_count(evs):
    """System calls from the last execve on: the program's whole cost."""
    start = max(i for i, (call, _) in enumerate(evs)
                if call.startswith('execve(') and ' = 0' in call)
    return sum(1 for call, _ in evs[start:] if not call.startswith(('---', '+++')))


def listing(folder):
    lines = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        info = os.lstat(path)
        age = 'old' if int(info.st_mtime) == OLD_TIME else 'new'
        if os.path.islink(path):
            lines.append('%s link -> %s %s' % (name, os.readlink(path), age))
        elif os.path.isdir(path):
            lines.append('%s dir %04o %s' % (name, info.st_mode & 0o7777, age))
        else:
            with open(path, 'rb') as f:
                content = f.read()
            lines.append('%s file %04o %s %r' % (name, info.st_mode & 0o7777, age, content))
    return lines


def prepare(cwd, what):
    path = os.path.join(cwd, 'my_file')
    if what == 'file':
        with open(path, 'wb') as f:
            f.write(b'precious\n')
        os.chmod(path, 0o600)
    elif what == 'dir':
        os.mkdir(path, 0o755)
    elif what == 'link':
        os.symlink('target', path)
    os.utime(path, (OLD_TIME, OLD_TIME), follow_symlinks=False)


def trace_run(program, args, settings, work, cwd):
    """Runs program under strace -ff -k. Returns status, stdout, stderr, the
    calls from main on of each process that ran the program (the one that
    exec'd it first, then its child) and that first process's whole trace."""
    wrapper = []
    if 'user' in settings:
        wrapper = ['setpriv', '--reuid=' + settings['user'], '--regid=nogroup',
                   '--clear-groups']
    if 'nproc' in settings:
        wrapper += ['prlimit', '--nproc=' + settings['nproc'], '--']
    if 'rofs' in settings:
        wrapper = ['unshare', '--mount', '--propagation', 'private', 'sh', '-c',
                   'mount -t tmpfs -o ro none "$0" && cd "$0" && exec "$@"', cwd]
    prefix = os.path.join(work, 'trace')
    command = ['strace', '-q', '-ff', '-k', '-s', '128', '-o', prefix, '--'] + wrapper + [program] + args
    mask = int(settings.get('umask', '022'), 8)
    if 'fd1000' in settings:
        os.dup2(os.open('/dev/null', os.O_RDONLY), 1000)
    to_pipe = settings.get('stdout') == 'pipe'
    out_path = os.path.join(work, 'stdout')
    out_fd = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    os.fchmod(out_fd, 0o644)  # claimfile's fstat of it shows in its trace
    proc = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE if to_pipe else out_fd,
                          stderr=subprocess.PIPE, pass_fds=(1000,) if 'fd1000' in settings else (),
                          preexec_fn=lambda: os.umask(mask))
    os.close(out_fd)
    if not to_pipe:
        with open(out_path, 'rb') as f:
            proc.stdout = f.read()
    files = sorted((f for f in os.listdir(work) if f.startswith('trace.')),
                   key=lambda f: int(f.split('.')[1]))
    runs = [(e, from_main_on(e, program)) for e in (events(os.path.join(work, f)) for f in files)]
    runs = [r for r in runs if r[1] is not None]
    runs.sort(key=lambda r: not any(c.startswith('execve(') for c, _ in r[0]))
    first = runs[0][0] if runs else []
    return proc.returncode, proc.stdout, proc.stderr, [t for _, t in runs], first


def check_elf(program, settings):
    def readelf(*flags):
        return subprocess.run(['readelf', '-W'] + list(flags) + [program], check=True,
                              capture_output=True, text=True).stdout
    problems = []
    needed = re.findall(r'\(NEEDED\).*\[(.*)\]', readelf('-d'))
    if needed != ['libc.so.6']:
        problems.append('NEEDED is %s, not libc.so.6 alone' % needed)
    if '.debug_info' not in readelf('-S'):
        problems.append('no debug information')
    source = os.path.basename(program)
    producers = re.findall(r'DW_AT_producer.*: (.*)\n.*\n.*DW_AT_name.*: (.*)',
                           readelf('--debug-dump=info'))
    flags = [p for p, name in producers if os.path.basename(name).startswith(source + '.')]
    if not flags:
        problems.append('no compile flags recorded for ' + source)
    for recorded in flags:
        levels = re.findall(r' -O\S*', recorded)
        if levels != [' -O0'] or ' -g' not in recorded:
            problems.append('recorded flags are not -g -O0 alone: ' + recorded)
    imported = set(re.findall(r' UND (\w+)', readelf('--dyn-syms')))
    for name in filter(None, settings.get('imports', '').split(',')):
        if name not in imported:
            problems.append('does not import ' + name)
    for name in filter(None, settings.get('lacks', '').split(',')):
        if name in imported:
            problems.append('imports ' + name)
    return problems


def compare(what, expected, actual):
    if expected == actual:
        return []
    diff = difflib.unified_diff(expected, actual, 'expected', 'observed', lineterm='')
    return ['%s differs:' % what] + list(diff)


def expected_lines(name, suffix):
    path = os.path.join(EXPECTED, name + suffix)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return f.read().splitlines()


def main():
    build, name = os.path.abspath(sys.argv[1]), sys.argv[2]  # the case runs elsewhere
    show = '--show' in sys.argv
    program_name, status, settings = load_case(name)
    program = os.path.join(build, program_name)
    if 'elf' in settings:
        problems = check_elf(program, settings)
        print('\n'.join(problems) or 'ok')
        return 1 if problems else 0

    if os.geteuid() != 0:
        if 'user' in settings:
            skip('running the program as user %s needs root' % settings['user'])
        if 'rofs' in settings:
            skip('a read-only mount in a private mount namespace needs root')
    work = tempfile.mkdtemp(prefix='syscall-probes-')
    try:
        os.chmod(work, 0o755)  # reachable by the unprivileged user, not writable
        cwd = os.path.join(work, 'cwd')
        os.mkdir(cwd, 0o755)
        if settings.get('cwd') == 'source':
            cwd = os.path.join(os.path.dirname(TESTS), 'probes')
        prefix = os.path.join(work, 'prefix')
        if 'installed' in settings:  # run it as installed, from its data folder
            subprocess.run(['cmake', '--install', build, '--prefix', prefix],
                           check=True, stdout=subprocess.DEVNULL)
            program = os.path.join(prefix, 'bin', program_name)
            cwd = os.path.join(prefix, 'share', 'syscall-probes')
        if 'user' in settings:  # a copy that the user can reach and run
            program = shutil.copy(program, os.path.join(work, program_name))
        if 'pre' in settings:
            prepare(cwd, settings['pre'])
        args = settings['args'].split(',') if 'args' in settings else []
        got_status, out, err, traces, first = trace_run(program, args, settings, work, cwd)
        after = None
        if 'installed' in settings:  # what the install put in the prefix
            after = sorted('%s %04o' % (os.path.relpath(os.path.join(top, f), prefix),
                                        os.stat(os.path.join(top, f)).st_mode & 0o7777)
                           for top, _, files in os.walk(prefix) for f in files)
        elif cwd.startswith(work):
            after = listing(cwd)
        cost = None
        if 'cost' in settings:
            empty = os.path.join(build, 'tests', 'empty_main')
            os.mkdir(os.path.join(work, 'empty'))
            base = trace_run(empty, [], {}, os.path.join(work, 'empty'), cwd)[4]
            cost = syscall_count(first) - syscall_count(base)
    finally:
        shutil.rmtree(work)

    if show:
        print('status %d\nstdout %r\nstderr %r' % (got_status, out, err))
        for i, trace in enumerate(traces):
            print('--- %s ---' % ('process' if i == 0 else 'child'))
            print('\n'.join(trace))
        if after is not None:
            print('--- folder afterwards ---\n' + '\n'.join(after))
        if cost is not None:
            print('--- cost: %+d calls over an empty program ---' % cost)
        return 0

    problems = []
    if got_status != status:
        problems.append('exit status %d, expected %d' % (got_status, status))
    like = settings.get('expect', name)  # cases that share output and traces
    out_file = os.path.join(EXPECTED, like + '.out')
    want_out = b''
    if os.path.exists(out_file):
        with open(out_file, 'rb') as f:
            want_out = f.read()
    if out != want_out:
        problems.append('standard output %r, expected %r' % (out, want_out))
    if err:
        problems.append('standard error is not empty: %r' % err)
    problems += compare('trace', expected_lines(like, '.trace'), traces[0] if traces else [])
    problems += compare('child trace', expected_lines(like, '.child.trace'),
                        traces[1] if len(traces) > 1 else [])
    if len(traces) > 2:
        problems.append('%d processes ran the program, expected at most 2' % len(traces))
    if after is not None:
        problems += compare('folder afterwards', expected_lines(name, '.dir'), after)
    if cost is not None and cost != int(settings['cost']):
        problems.append('%+d system calls over an empty program, expected %+d'
                        % (cost, int(settings['cost'])))
    print('\n'.join(problems) or 'ok')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
