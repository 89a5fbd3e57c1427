#!/usr/bin/env python3
"""Runs one case of tests/cases against the built programs.

    run.py BIN CASE          run and compare; exit 0 pass, 1 fail, 77 skip
    run.py BIN CASE --show   print what the case observed, compare nothing

BIN is the folder that holds the programs: build, or build/Debug under a
multi-configuration generator. A case starts its program once under each
observer, strace for the system calls and ltrace for the calls into the C
library, and each time checks what a user and that observer see: standard
output bytes, an empty standard error, the exit status, the working folder
afterwards and every process's calls from main on. The expected files are in
tests/expected/; the head of tests/cases explains the settings.
"""
import difflib
import os
import pty
import pwd
import re
import shutil
import subprocess
import sys
import tempfile

TESTS = os.path.dirname(os.path.abspath(__file__))
EXPECTED = os.path.join(TESTS, 'expected')
SKIP = 77
OLD_TIME = 1000000000  # mtime given to whatever a case puts there beforehand
ENV = {'PATH': '/usr/local/bin:/usr/bin:/bin', 'LC_ALL': 'C'}  # the programs'
SETTINGS = {'umask', 'pre', 'cwd', 'args', 'stdout', 'fd1000', 'user', 'nproc',
            'rofs', 'installed', 'startup', 'expect', 'elf', 'names'}
CHOICES = {'pre': ('file', 'dir', 'link'), 'cwd': ('source',),
           'stdout': ('pipe', 'pty', 'closed')}
# What the C library does on its own account is no part of a reference:
# memory, its random seed, signal masks and thread bookkeeping (around fork),
# and stdio's look at a standard stream before its first write.
LIBC_OWN = re.compile(r'(brk|mmap|munmap|mprotect|madvise|getrandom|rseq|'
                      r'rt_sigprocmask|set_robust_list|set_tid_address)\(|'
                      r'(fstat|newfstatat|statx|ioctl)\([012],')
QUOTED = re.compile(r'("(?:[^"\\]|\\.)*")')
PID_RESULT = re.compile(r'^(?:<\.\.\. )?(getpid|getppid|fork|vfork|clone3?|'
                        r'set_tid_address)\b.* = ([1-9]\d*)$')
# What the two ltrace releases print differently: open's flags in decimal or
# hex, open's absent mode (a leftover register), errno's address or value.
LTRACE_OPEN = re.compile(r'^(open\("(?:[^"\\]|\\.)*", )(\w+), (\w+)\)')
LTRACE_ERRNO = re.compile(r'^(__errno_location\(\)) = \S+$')


def fail(reason, code=1):
    print(reason)
    sys.exit(code)


def tool(name):
    path = shutil.which(name)
    return path or fail('%s is needed and is not on the PATH' % name)


def load_case(name):
    with open(os.path.join(TESTS, 'cases')) as table:
        for line in table:
            words = line.split()
            if words and words[0] == name:
                settings = dict(w.partition('=')[::2] for w in words[3:])
                unknown = set(settings) - SETTINGS | {
                    '%s=%s' % kv for kv in settings.items()
                    if kv[0] in CHOICES and kv[1] not in CHOICES[kv[0]]}
                if unknown:
                    fail('unknown setting %s in tests/cases' % ', '.join(unknown))
                return words[1], int(words[2]), settings
    fail('no case named ' + name)


def normalise(line, seen):
    """Folds the padding before a result and numbers addresses and process ids
    in order of first appearance (ADDR1, PID1, ...), so that equal values stay
    equal and different ones apart. Nothing inside quotes is touched."""
    def number(kind, value):
        count = sum(k == kind for k, _ in seen)
        return seen.setdefault((kind, value), '%s%d' % (kind, count + 1))
    parts = QUOTED.split(line)
    for i in range(0, len(parts), 2):  # the even parts lie outside quotes
        part = re.sub(r'\s+= ', ' = ', parts[i])
        parts[i] = re.sub(r'0x[0-9a-f]+', lambda m: number('ADDR', m[0]), part)
    line = ''.join(parts)
    match = PID_RESULT.match(line)
    if match:
        line = line[:match.start(2)] + number('PID', match[2])
    return line


def strace_processes(folder, program):
    """Per process that ran the program, the one that exec'd it first: its
    calls from the first made with the program's own code on the stack (the
    loader's start-up skipped), and the start-up calls before them."""
    mine = ' > %s(' % os.path.realpath(program)
    result = []
    for name in sorted(os.listdir(folder), key=lambda f: int(f.split('.')[1])):
        events, current = [], []  # [call line, its backtrace frames]
        with open(os.path.join(folder, name)) as trace:
            for line in trace.read().splitlines():
                if line.startswith(' > '):
                    current.append(line)
                else:  # exit_group's frames follow the "+++ exited" line
                    events.append([line, []])
                    if not line.startswith(('---', '+++')):
                        current = events[-1][1]
        start = next((i for i, (_, frames) in enumerate(events)
                      if any(f.startswith(mine) for f in frames)), None)
        if start is None:
            continue
        seen = {}
        calls = [normalise(call, seen) for call, _ in events[start:]
                 if not LIBC_OWN.match(call) and not call.startswith('--- SIGCHLD')]
        seen = {}
        startup = [normalise(call, seen) for call, _ in events[:start]
                   if not call.startswith('execve(')]
        result.append((events[0][0].startswith('execve('), calls, startup))
    result.sort(key=lambda r: not r[0])
    return [r[1:] for r in result]


def ltrace_processes(folder, _):
    """Per process, in order of first appearance: its calls into the C library,
    a call cut in two by another process's output joined again."""
    processes = {}
    with open(os.path.join(folder, 'trace')) as trace:
        for line in trace.read().splitlines():
            pid, _, call = line.partition(' ')
            calls = processes.setdefault(pid, [])
            if call.startswith('--- SIGCHLD'):
                continue  # when a child's end reaches the parent varies
            if call.startswith('<... ') and calls and \
                    calls[-1].endswith(('<unfinished ...>', '<no return ...>')):
                call = calls.pop().rsplit(' <', 1)[0] + call.split('resumed> ', 1)[1]
            calls.append(call)
    result = []
    for calls in processes.values():
        seen = {}
        lines = []
        for call in calls:
            match = LTRACE_OPEN.match(call)
            if match:  # the mode is there only with O_CREAT (0100)
                flags = int(match[2], 0)
                mode = match[3] if flags & 0o100 else '-'
                call = '%s%d, %s)%s' % (match[1], flags, mode, call[match.end():])
            call = LTRACE_ERRNO.sub(r'\1 = ERRNO', normalise(call, seen))
            lines.append(call)
        result.append((lines, None))
    return result


OBSERVERS = {  # command, reading of its output folder
    'strace': (['strace', '-q', '-ff', '-k', '-s', '256', '-o', '{}/trace', '--'],
               strace_processes),
    'ltrace': (['ltrace', '-f', '-s', '256', '-o', '{}/trace', '--'],
               ltrace_processes),
}


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
            lines.append('%s file %04o %s %r'
                         % (name, info.st_mode & 0o7777, age, content))
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


def wrapper(settings, cwd):
    """What the case runs the observer in: another user, a process limit, a
    read-only mount. Each needs a privilege that the kernel may refuse."""
    command = []
    if 'user' in settings:
        user = pwd.getpwnam(settings['user'])
        command = [tool('setpriv'), '--reuid=%d' % user.pw_uid,
                   '--regid=%d' % user.pw_gid, '--clear-groups']
    if 'nproc' in settings:  # on top of what the user already runs elsewhere
        running = 0
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                running += os.stat('/proc/' + pid).st_uid == user.pw_uid
            except OSError:
                pass  # it ended meanwhile
        limit = running + int(settings['nproc'])
        command += [tool('prlimit'), '--nproc=%d' % limit, '--']
    if 'rofs' in settings:
        command = [tool('unshare'), '--mount', '--propagation', 'private',
                   'sh', '-c', 'mount -t tmpfs -o ro none "$0" && cd "$0" && exec "$@"',
                   cwd]
    return command


def observe(observer, wrap, program, args, settings, cwd, work):
    """Runs the program once under the observer, inside the wrapper, from
    cwd. Returns status, standard output and error, and each process's calls."""
    tracer, read = OBSERVERS[observer]
    folder = os.path.join(work, observer)
    os.mkdir(folder)
    os.chmod(folder, 0o777)  # the observer may run as another user
    command = wrap + [tool(tracer[0])] + [c.format(folder) for c in tracer[1:]] + \
        [program] + args
    mask = int(settings.get('umask', '022'), 8)
    kept = ()
    if 'fd1000' in settings:
        os.dup2(os.open(os.devnull, os.O_RDONLY), 1000)
        kept = (1000,)
    where = settings.get('stdout', 'file')
    out_fd = subprocess.PIPE
    if where == 'pty':
        reader, out_fd = pty.openpty()
    elif where == 'file':
        out_path = os.path.join(work, observer + '.out')
        out_fd = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)

    def start():
        os.umask(mask)
        if where == 'closed':
            os.close(1)
    proc = subprocess.run(command, cwd=cwd, env=ENV, stdin=subprocess.DEVNULL,
                          stdout=out_fd, stderr=subprocess.PIPE, pass_fds=kept,
                          preexec_fn=start)
    if where == 'pty':
        os.close(out_fd)
        proc.stdout = b''
        try:  # all is buffered in the terminal; EIO once it is read
            while chunk := os.read(reader, 4096):
                proc.stdout += chunk
        except OSError:
            pass
        os.close(reader)
    elif where == 'file':
        os.close(out_fd)
        with open(out_path, 'rb') as f:
            proc.stdout = f.read()
    return proc.returncode, proc.stdout or b'', proc.stderr, read(folder, program)


def readelf(program, *flags):
    return subprocess.run([tool('readelf'), '-W'] + list(flags) + [program],
                          check=True, capture_output=True, text=True).stdout


def debug_unit(program):
    """The debug information of the program's own source file, '' if none."""
    source = re.escape(os.path.basename(program) + '.')
    return next((u for u in readelf(program, '--debug-dump=info').split('Compilation Unit @')
                 if re.search(r'DW_AT_name\s*:.*[/ ]%s\w+\n' % source, u)), '')


def recorded_flags(unit):
    return re.findall(r'DW_AT_producer\s*:(?: \(.*?\))*:? (.*)', unit)


def check_elf(program, settings):
    problems = []
    needed = re.findall(r'\(NEEDED\).*\[(.*)\]', readelf(program, '-d'))
    if needed != ['libc.so.6']:
        problems.append('NEEDED is %s, not libc.so.6 alone' % needed)
    unit = debug_unit(program)
    if not unit:
        return problems + ['no debug information for its source']
    for recorded in recorded_flags(unit):
        levels = re.findall(r' -O(\S*)', recorded)
        if not levels or levels[-1] != '0' or not re.search(r' -g', recorded):
            problems.append('built without -g or not at -O0: ' + recorded)
    names = [n for tag, n in re.findall(
        r'\((DW_TAG_\w+)\)\n(?:    <.*\n)*?    <\w+>\s+DW_AT_name\s*:(?: \(.*?\))*:? (\w+)\n',
        unit) if tag in ('DW_TAG_variable', 'DW_TAG_formal_parameter')]
    if names != settings['names'].split(','):
        problems.append('debug information names %s' % ','.join(names))
    return problems


def expected(names, suffix, mode='r'):
    """The first expected file there is of these names: its lines (its bytes
    with mode rb), or None."""
    for path in (os.path.join(EXPECTED, name + suffix) for name in names):
        if os.path.exists(path):
            with open(path, mode) as f:
                return f.read() if mode == 'rb' else f.read().splitlines()
    return None


def compare(what, want, got):
    if want == got:
        return []
    diff = difflib.unified_diff(want, got, 'expected', 'observed', lineterm='')
    return ['%s differs:' % what] + list(diff)


def run_once(observer, build, name, program_name, settings):
    """One run of the case under one observer, in a new temporary folder."""
    program = os.path.join(build, program_name)
    work = tempfile.mkdtemp(prefix='syscall-probes-')
    try:
        os.chmod(work, 0o755)  # reachable by the unprivileged user, not writable
        cwd = os.path.join(work, 'cwd')
        os.mkdir(cwd, 0o755)
        if settings.get('cwd') == 'source':
            cwd = os.path.join(os.path.dirname(TESTS), 'probes')
        prefix = os.path.join(work, 'prefix')
        if 'installed' in settings:  # installed, and run from its data folder
            install(build, prefix)
            program = os.path.join(prefix, 'libexec', 'syscall-probes', program_name)
            cwd = os.path.join(prefix, 'share', 'syscall-probes')
        if 'user' in settings:  # a copy that the user can reach and run
            program = shutil.copy(program, os.path.join(work, program_name))
        if 'pre' in settings:
            prepare(cwd, settings['pre'])
        wrap = wrapper(settings, cwd)
        if wrap:  # try the privilege first
            tried = subprocess.run(wrap + ['true'], cwd=cwd, env=ENV,
                                   capture_output=True, text=True)
            if tried.returncode:
                fail('skipped: %s is refused here: %s'
                     % (' '.join(wrap[:2]), tried.stderr.strip()), SKIP)
        args = settings['args'].split(',') if 'args' in settings else []
        result = observe(observer, wrap, program, args, settings, cwd, work)
        if 'installed' in settings:  # what the install put in the prefix
            after = sorted('%s %04o' % (os.path.relpath(os.path.join(top, f), prefix),
                                        os.stat(os.path.join(top, f)).st_mode & 0o7777)
                           for top, _, files in os.walk(prefix) for f in files)
        else:
            after = listing(cwd) if cwd.startswith(work) else None
        startup = None
        if 'startup' in settings and observer == 'strace' and result[3]:
            empty = os.path.join(work, 'empty')
            os.mkdir(empty)
            base = observe('strace', [], os.path.join(build, 'empty_main'), [], {}, cwd, empty)
            startup = (result[3][0][1], base[3][0][1])
    finally:
        shutil.rmtree(work)
    return result + (after, startup)


def install(build, prefix):
    """cmake --install of the tree that BIN belongs to, by its own cmake."""
    tree, config = build, []
    if not os.path.exists(os.path.join(build, 'CMakeCache.txt')):
        tree, config = os.path.dirname(build), ['--config', os.path.basename(build)]
    with open(os.path.join(tree, 'CMakeCache.txt')) as cache:
        cmake = re.search(r'^CMAKE_COMMAND:INTERNAL=(.*)$', cache.read(), re.M)[1]
    subprocess.run([cmake, '--install', tree, '--prefix', prefix] + config,
                   check=True, stdout=subprocess.DEVNULL)


def main():
    if len(sys.argv) < 3:
        fail(__doc__.strip())
    build, name = os.path.abspath(sys.argv[1]), sys.argv[2]  # runs elsewhere
    show = '--show' in sys.argv[3:]
    program_name, status, settings = load_case(name)
    if 'elf' in settings:
        problems = check_elf(os.path.join(build, program_name), settings)
        print('\n'.join(problems) or 'ok')
        return 1 if problems else 0

    # A case's own expected files, else those of the case it is like.
    like = (name, settings.get('expect', name))
    # ltrace sees the calls made through the PLT, which -fno-plt does away with.
    plt = not any('-fno-plt' in f for f in
                  recorded_flags(debug_unit(os.path.join(build, program_name))))
    problems, skipped = [], []
    for observer in OBSERVERS:
        got_status, out, err, processes, after, startup = \
            run_once(observer, build, name, program_name, settings)
        calls = [p[0] for p in processes]
        if show:
            print('=== %s: status %d\nstdout %r\nstderr %r'
                  % (observer, got_status, out, err))
            for i, lines in enumerate(calls):
                print('--- %s ---\n%s' % ('process' if i == 0 else 'child', '\n'.join(lines)))
            if after is not None:
                print('--- folder afterwards ---\n' + '\n'.join(after))
            continue
        if observer == 'strace' and got_status != status:  # ltrace's own is 0
            problems.append('%s: exit status %d, expected %d' % (observer, got_status, status))
        want_out = expected(like, '.out', 'rb') or b''
        if out != want_out:
            problems.append('%s: standard output %r, expected %r' % (observer, out, want_out))
        if err:
            problems.append('%s: standard error is not empty: %r' % (observer, err))
        want = [w for w in (expected(like, '.' + observer),
                            expected(like, '.child.' + observer)) if w is not None]
        if observer == 'ltrace' and want and len(want[0]) > 1 and not plt:
            skipped.append('the strace view holds, but ltrace cannot see calls made '
                           'without the PLT')
            continue
        for i in range(max(len(want), len(calls))):
            problems += compare('%s, %s' % (observer, 'process' if i == 0 else 'child'),
                                want[i] if i < len(want) else [],
                                calls[i] if i < len(calls) else [])
        if after is not None:
            problems += compare('folder afterwards', expected(like, '.dir') or [], after)
        if startup is not None:
            problems += compare('start-up against an empty C program', startup[1], startup[0])
    if problems or not skipped:
        print('\n'.join(problems) or 'ok')
        return 1 if problems else 0
    fail('skipped: ' + '; '.join(skipped), SKIP)


if __name__ == '__main__':
    sys.exit(main())
