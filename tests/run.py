#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The syscall-probes authors
# SPDX-License-Identifier: MIT
"""Runs one line of tests/cases: a check of the build itself, or an observer
that syscall-probes must pass or fail.

    run.py BIN NAME      exit 0 pass, 1 fail

BIN is the folder that holds the programs and the build's syscall-probes:
build, or build/Debug under a multi-configuration generator. The situations
themselves are CTest tests of their own, each `syscall-probes check NAME`.
"""
import os
import pwd
import re
import shlex
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from xml.etree import ElementTree

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from replays import verdicts  # noqa: E402

TESTS = os.path.dirname(os.path.abspath(__file__))
# tests/faulty-observer starts as `env python3`: this interpreter, found
# first, and not through a version manager's shim, which is slow to start.
os.environ['PATH'] = os.path.dirname(sys.executable) + os.pathsep + os.environ.get('PATH', '')
# A factor for the time limits on a slow machine: SYSCALL_PROBES_SLOW=3.
SLOW = float(os.environ.get('SYSCALL_PROBES_SLOW', '1'))


def fail(reason, code=1):
    print(reason)
    sys.exit(code)


def needs(*tools):
    """Skips, with the reason, where a tool that the test runs is missing: a
    test that cannot fail here does not pass."""
    for tool in tools:
        if not shutil.which(tool):
            fail('%s is not installed' % tool, 77)


def needs_root(why):
    if os.geteuid() != 0:
        fail('needs root, ' + why, 77)


def kernel_refuses(build):
    """Why this kernel cannot run the build's programs, i386 ones where its
    32-bit emulation is off; '' where it can."""
    empty = os.path.join(build, 'empty-main')
    with open(empty, 'rb') as f:
        if f.read(5)[4:] != b'\x01':  # ELFCLASS32
            return ''
    try:
        subprocess.run([empty], check=False)
    except OSError as error:
        return 'this kernel does not run i386 programs (%s)' % error.strerror
    return ''


# The kinds that read recorded reports or the programs' files, and run none.
READING = ('elf', 'formats', 'recorded', 'replay')


def checker(build):
    return os.path.join(build, 'syscall-probes')


def sanitized(build):
    """A checker built with the sanitizers takes more time and memory."""
    with open(checker(build), 'rb') as f:
        return b'__asan_init' in f.read()


def leftovers(folder):
    return ['left in %s: %s' % (folder, name) for name in os.listdir(folder)]


def readelf(program, *flags):
    tool = shutil.which('readelf') or fail('readelf is needed and is not on the PATH')
    return subprocess.run([tool, '-W'] + list(flags) + [program],
                          check=True, capture_output=True, text=True).stdout


def elf(build, program, names):
    """NEEDED only the C library, built -g with -O0 last, and the variables and
    parameters that the debug information names, in order."""
    program = os.path.join(build, program)
    problems = []
    needed = re.findall(r'\(NEEDED\).*\[(.*)\]', readelf(program, '-d'))
    musl = '/lib/ld-musl-x86_64.so.1' in readelf(program, '-l')
    libc = 'libc.so' if musl else 'libc.so.6'
    if needed != [libc]:
        problems.append('NEEDED is %s, not %s alone' % (needed, libc))
    source = re.escape(os.path.basename(program) + '.')
    unit = next((u for u in readelf(program, '--debug-dump=info').split('Compilation Unit @')
                 if re.search(r'DW_AT_name\s*:.*[/ ]%s\w+\n' % source, u)), '')
    if not unit:
        return problems + ['no debug information for its source']
    for recorded in re.findall(r'DW_AT_producer\s*:(?: \(.*?\))*:? (.*)', unit):
        levels = re.findall(r' -O(\S*)', recorded)
        if not levels or levels[-1] != '0' or not re.search(r' -g', recorded):
            problems.append('built without -g or not at -O0: ' + recorded)
    found = [n for tag, n in re.findall(
        r'\((DW_TAG_\w+)\)\n(?:    <.*\n)*?    <\w+>\s+DW_AT_name\s*:(?: \(.*?\))*:? (\w+)\n',
        unit) if tag in ('DW_TAG_variable', 'DW_TAG_formal_parameter')]
    if found != names.split(','):
        problems.append('debug information names %s' % ','.join(found))
    return problems


def install(build):
    """cmake --install into an empty prefix, by the build's own cmake: what
    lands there, and the installed syscall-probes passing every situation,
    as root and, with those that need root skipped, as nobody."""
    tree, config = build, []
    if not os.path.exists(os.path.join(build, 'CMakeCache.txt')):
        tree, config = os.path.dirname(build), ['--config', os.path.basename(build)]
    with open(os.path.join(tree, 'CMakeCache.txt')) as cache:
        cmake = re.search(r'^CMAKE_COMMAND:INTERNAL=(.*)$', cache.read(), re.M)[1]
    prefix = tempfile.mkdtemp(prefix='syscall-probes-prefix-')
    try:
        os.chmod(prefix, 0o755)
        subprocess.run([cmake, '--install', tree, '--prefix', prefix] + config,
                       check=True, stdout=subprocess.DEVNULL)
        got = sorted('%s %04o' % (os.path.relpath(os.path.join(top, f), prefix),
                                  os.stat(os.path.join(top, f)).st_mode & 0o7777)
                     for top, _, files in os.walk(prefix) for f in files)
        with open(os.path.join(TESTS, 'installed')) as f:
            want = [line for line in f.read().splitlines() if not line.startswith('#')]
        problems = ['installed: ' + line for line in sorted(set(got) ^ set(want))]
        command = [os.path.join(prefix, 'bin', 'syscall-probes'), 'check']
        runs = [('as %s' % ('root' if os.geteuid() == 0 else 'this user'), command)]
        if os.geteuid() == 0:  # nobody's group is nogroup on Debian, nobody elsewhere
            nobody = pwd.getpwnam('nobody')
            runs.append(('as nobody', ['setpriv', '--reuid=%d' % nobody.pw_uid,
                                       '--regid=%d' % nobody.pw_gid, '--clear-groups'] + command))
        for who, argv in runs:
            done = subprocess.run(argv, capture_output=True, text=True, cwd='/')
            print('%s: %s' % (who, done.stdout.strip().splitlines()[-1:]))
            if done.returncode:
                problems.append('the installed syscall-probes, %s, failed:\n%s%s'
                                % (who, done.stdout, done.stderr))
        return problems
    finally:
        shutil.rmtree(prefix)


def observer(build, situation, fmt, expect, words):
    """The checker, given this observer: `passed` must pass, anything else
    must fail, with that phrase in its one line, no traceback, in time."""
    expect = expect.split(':')[0]  # :LIBC, the builds it holds for: see CMakeLists.txt
    tool = words[1] if words[0] == 'faulty' else words[0]
    tool = {'qemu': 'qemu-x86_64', 'qemu-user': 'qemu-x86_64', 'qemu-user-log': 'qemu-x86_64',
            'valgrind-log-file': 'valgrind', 'perf-trace': 'perf',
            'perf-trace-o': 'perf'}.get(tool, tool)
    if tool in ('strace', 'ltrace', 'qemu-x86_64', 'valgrind', 'perf', 'uftrace', 'bpftrace',
                'gdb'):
        needs(tool)
        if tool == 'bpftrace':
            needs_root('bpftrace loads its programs into the kernel')
            # A tracepoint's arguments need the kernel's types (BTF), which
            # bpftrace may not read here, as without CAP_SYS_ADMIN.
            tried = subprocess.run(
                ['bpftrace', '-q', '-e', 'tracepoint:sched:sched_process_fork '
                 '/args->parent_pid == 0/ { exit(); } BEGIN { exit(); }'],
                capture_output=True, text=True)
            if tried.returncode:
                print('bpftrace cannot trace here: %s' % tried.stderr.strip()[-200:])
                sys.exit(77)
        if tool == 'perf':
            tried = subprocess.run(['perf', 'trace', '-o', os.devnull, '--', 'true'],
                                   capture_output=True, text=True)
            if tried.returncode:
                print('perf trace cannot trace here: %s' % tried.stderr.strip()[-200:])
                sys.exit(77)
    paths = {'faulty': os.path.join(TESTS, 'faulty-observer'),
             'minitrace': os.path.join(build, 'minitrace')}
    command = ' '.join(shlex.quote(paths.get(w, w).replace('{build}', build)) for w in words)
    # Room for the slowest observer to start on a busy machine (bpftrace
    # compiles and loads its script); an observer that hangs is one of ours.
    timeout = 1 if tool == 'hang' else SLOW * (30 if tool == 'bpftrace' else 15)
    argv = [os.path.join(build, 'syscall-probes'), 'check', '--timeout', '%g' % timeout,
            '--observer', command, '--format', fmt]
    if situation != 'all':
        argv.append(situation)
    start = time.monotonic()
    done = subprocess.run(argv, capture_output=True, text=True, timeout=100 * SLOW)
    took = time.monotonic() - start
    print(done.stdout + done.stderr)
    problems = []
    if 'Traceback' in done.stderr + done.stdout:
        problems.append('a traceback')
    if expect == 'passed' and done.returncode != 0:
        problems.append('exit %d: an honest observer was failed' % done.returncode)
    if expect != 'passed' and (done.returncode != 1 or expect not in done.stdout):
        problems.append('exit %d, without "%s": a faulty observer got through'
                        % (done.returncode, expect))
    if took > (2 * timeout if tool == 'bpftrace' else 15 * SLOW):
        problems.append('took %.0f s' % took)
    return problems


def tmpdir(build, name, mode, owner, status, phrase, *args):
    """check with TMPDIR a folder NAME of that mode and owner (missing: none
    there): one that another user can change is refused in one line, exit 2;
    any other is worked in, whatever its name holds, and left empty."""
    if '--observer' in args:
        observer = args[args.index('--observer') + 1]
        needs({'qemu-user': 'qemu-x86_64', 'qemu-user-log': 'qemu-x86_64',
               'valgrind-log-file': 'valgrind'}.get(observer, observer))
    else:
        needs('strace', 'ltrace')
    if owner != 'self':
        needs_root('to give a folder to ' + owner)
    top = tempfile.mkdtemp(prefix='syscall-probes-tmpdir-')
    # {N}: folders within folders, N characters of path in all
    name = re.sub(r'\{(\d+)\}', lambda n: '/'.join(['x' * 99] * (int(n[1]) // 100 + 1)), name)
    folder = os.path.join(top, name)
    try:
        if mode != 'missing':
            os.makedirs(folder)
            os.chmod(folder, int(mode, 8))
            if owner != 'self':
                os.chown(folder, pwd.getpwnam(owner).pw_uid, -1)
        done = subprocess.run([checker(build)] + list(args), capture_output=True, text=True,
                              env=dict(os.environ, TMPDIR=folder), timeout=120)
        print(done.stdout + done.stderr)
        problems = [] if done.returncode == int(status) else \
            ['exit %d, not %s' % (done.returncode, status)]
        if phrase not in done.stdout + done.stderr:
            problems.append('without "%s"' % phrase)
        if done.returncode == 2 and len(done.stderr.splitlines()) != 1:
            problems.append('not one line on standard error')
        return problems + (leftovers(folder) if os.path.isdir(folder) else [])
    finally:
        shutil.rmtree(top)


def mounted(build, options, status, phrase, *args):
    """check with TMPDIR a tmpfs mounted with OPTIONS (ro, a small size): the
    checker's own trouble is its own, one line and exit 2, no observer
    blamed."""
    needs_root('to mount a file system')
    needs('unshare', 'strace', 'ltrace')
    top = tempfile.mkdtemp(prefix='syscall-probes-mounted-')
    try:
        script = ('mount -t tmpfs -o "$1" none "$2" && TMPDIR="$2" && export TMPDIR && '
                  'shift 2 && exec "$@"')
        done = subprocess.run(['unshare', '-m', 'sh', '-c', script, 'sh', options, top,
                               checker(build)] + list(args),
                              capture_output=True, text=True, timeout=120)
        print(done.stdout + done.stderr)
        refused = re.search(r'^(unshare: unshare failed|mount: .*): (.*)$', done.stderr, re.M)
        if refused and 'syscall-probes' not in done.stderr:
            fail('a mount is refused here: ' + refused[0], 77)
        problems = [] if done.returncode == int(status) else \
            ['exit %d, not %s' % (done.returncode, status)]
        if phrase not in done.stdout + done.stderr:
            problems.append('without "%s"' % phrase)
        if 'FAILED' in done.stdout:
            problems.append('an observer was blamed')
        return problems
    finally:
        shutil.rmtree(top)


def interrupt(build, name, shape=None):
    """SIGINT, SIGTERM or SIGHUP at moments through a check, of every
    situation or of a hostile report that is long to judge (SHAPE), or its
    verdicts' reader gone (SIGPIPE): exit 128 plus the signal within a
    second, and no run folder and no process of a run left behind."""
    needs('strace')
    number = getattr(signal, name)
    faulty = os.path.join(TESTS, 'faulty-observer')
    command = ['check', '--observer', faulty + ' strace {report} --']
    if shape:
        command = ['check', '--format', shape.split('-')[0], '--observer',
                   '%s shape %s {report} --' % (faulty, shape), 'probe4-file']
    problems, stopped = [], 0
    for delay in (0.05, 0.3, 0.9):
        folder = tempfile.mkdtemp(prefix='syscall-probes-interrupt-')
        try:
            run = subprocess.Popen([checker(build)] + command,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   env=dict(os.environ, TMPDIR=folder))
            time.sleep(delay)
            if number == signal.SIGPIPE:
                run.stdout.close()  # as `check | head -n 1` does
            else:
                run.send_signal(number)
            signalled = time.monotonic()
            out = run.communicate(timeout=60)[0]
            took = time.monotonic() - signalled
            if run.returncode == 128 + number and took > SLOW * (4 if sanitized(build) else 1):
                problems.append('after %.2f s: ended %.1f s after the signal' % (delay, took))
            if run.returncode == 128 + number:
                stopped += 1
            elif run.returncode == -number:
                pass  # before it set anything up: nothing to leave behind
            elif run.returncode not in (0, 1):  # it may have finished first
                problems.append('after %.2f s: exit %d\n%s' % (delay, run.returncode, out))
            problems += leftovers(folder)
            for pid in filter(str.isdigit, os.listdir('/proc')):
                try:
                    with open('/proc/%s/cmdline' % pid, 'rb') as f:
                        if folder.encode() in f.read():
                            problems.append('process %s of a run is left' % pid)
                            os.kill(int(pid), signal.SIGKILL)
                except OSError:
                    pass
        finally:
            shutil.rmtree(folder)
    print('%d of 3 checks stopped by %s' % (stopped, name))
    return problems + ([] if stopped else ['no check was stopped by the signal'])


def escape(build):
    """An observer leaves a process that has left the run's session: it does
    not outlive the run."""
    needs('strace')
    folder = tempfile.mkdtemp(prefix='syscall-probes-escape-')
    pidfile = os.path.join(folder, 'pid')
    observer = '%s escape %s {report} --' % (os.path.join(TESTS, 'faulty-observer'), pidfile)
    try:
        done = subprocess.run([checker(build), 'check', '--observer', observer,
                               'probe1-return-0'], capture_output=True, text=True, timeout=120)
        print(done.stdout + done.stderr)
        with open(pidfile) as f:
            pid = int(f.read())
        try:
            with open('/proc/%d/stat' % pid) as f:
                alive = f.read().split(') ')[1][0] != 'Z'
        except OSError:
            alive = False
        if alive:
            os.kill(pid, signal.SIGKILL)
        return (['the escaped process %d outlived the run' % pid] if alive else []) + \
            ([] if done.returncode == 0 else ['exit %d' % done.returncode])
    finally:
        shutil.rmtree(folder)


def private(build):
    """Each observer gets HOME and TMPDIR in a folder of the run's own, of
    its user and mode 0700, gone with the run however deep a tree it leaves
    there; valgrind leaves nothing in /tmp, where another user could plant a
    link at its names."""
    needs('strace')
    folder = os.path.realpath(tempfile.mkdtemp(prefix='syscall-probes-private-'))
    os.chmod(folder, 0o711)  # the user of probe4-no-fork passes through
    kept = os.path.join(folder, 'kept')
    where = ("sh -c 'stat -c \"%u %a %n\" \"$HOME\" \"$TMPDIR\" >&2; "
             "mkdir -p \"$HOME/" + 'd/' * 300 + "\"; touch \"$HOME/" + 'd/' * 300 + "f\"; "
             "exec strace -f -o \"$0\" -- \"$@\"' {report}")
    situations = ['probe1-return-0'] + (['probe4-no-fork'] if os.geteuid() == 0 else [])
    try:
        done = subprocess.run([checker(build), 'check', '--keep', kept, '--name', 'where',
                               '--observer', where] + situations, capture_output=True,
                              text=True, env=dict(os.environ, TMPDIR=folder), timeout=120)
        print(done.stdout + done.stderr)
        problems = [] if done.returncode == 0 else ['exit %d' % done.returncode]
        for situation in situations:
            with open(os.path.join(kept, situation, 'where', 'stderr')) as f:
                lines = [line.split(' ', 2) for line in f.read().splitlines()]
            other = situation == 'probe4-no-fork'
            for uid, mode, path in lines:
                if not path.startswith(folder + '/syscall-probes-') or mode != '700' or \
                        (int(uid) == os.geteuid()) == other or os.path.exists(path):
                    problems.append('%s: %s %s %s is no private folder of the run' %
                                    (situation, uid, mode, path))
            if len(lines) != 2:
                problems.append('%s: HOME and TMPDIR not both set' % situation)
        if shutil.which('valgrind'):  # killed at its timeout, it cleans up nothing
            before = set(os.listdir('/tmp'))
            done = subprocess.run([checker(build), 'check', '--observer', 'valgrind',
                                   '--timeout', '0.1', 'probe4-file'], capture_output=True,
                                  text=True,
                                  env=dict(os.environ, TMPDIR=folder), timeout=120)
            print(done.stdout + done.stderr)
            problems += ['valgrind left /tmp/' + name
                         for name in set(os.listdir('/tmp')) - before if 'vgdb' in name]
        shutil.rmtree(kept)
        return problems + leftovers(folder)
    finally:
        shutil.rmtree(kept, ignore_errors=True)
        shutil.rmtree(folder)


def controls(build):
    """Escape sequences in a report reach nobody's terminal: in a diff and in
    an unreadable line's message, each control character is shown escaped."""
    needs('strace')
    sequence = '\x1b]0;owned\x07\x1b[31m'
    faulty = os.path.join(TESTS, 'faulty-observer') + ' strace '
    problems = []
    for edit in ('s/"12345"/"%s"/' % sequence,
                 's/^(\\d+ +close\\(3\\).*)$/\\1\\n%sgarbage/' % sequence):
        done = subprocess.run([checker(build), 'check', '--observer',
                               faulty + "'%s' {report} --" % edit, 'probe5-in-source'],
                              capture_output=True, text=True, timeout=120)
        print(ascii(done.stdout + done.stderr))
        raw = [c for c in done.stdout + done.stderr if ord(c) < 32 and c != '\n']
        if done.returncode != 1 or raw or '\\x1b' not in done.stdout:
            problems.append('exit %d, %d control characters shown raw for %s' %
                            (done.returncode, len(raw), ascii(edit)))
    return problems


def pretend(build, observer, tool, status, phrase, script):
    """A built-in observer's TOOL, replaced on the PATH by a script: a
    refusal it names skips, and a hang, a crash or garbage fails as any
    observer's would."""
    folder = tempfile.mkdtemp(prefix='syscall-probes-pretend-')
    os.chmod(folder, 0o755)
    try:
        with open(os.path.join(folder, tool), 'w') as f:
            f.write('#!/bin/sh\n' + script + '\n')
        os.chmod(os.path.join(folder, tool), 0o755)
        done = subprocess.run([checker(build), 'check', '--timeout', '1', '--observer',
                               observer, 'probe1-return-0'], capture_output=True, text=True,
                              env=dict(os.environ, PATH=folder + ':' + os.environ['PATH']),
                              timeout=120)
        print(done.stdout + done.stderr)
        problems = [] if done.returncode == int(status) else \
            ['exit %d, not %s' % (done.returncode, status)]
        return problems + ([] if phrase in done.stdout else ['without "%s"' % phrase])
    finally:
        shutil.rmtree(folder)


def hidden(build):
    """An observer, or a library that its command names, in a folder closed
    to other users, as a clone in /root is, or a temporary folder closed to
    them: what runs as another user skips, naming that folder; the rest
    passes."""
    needs_root('to run as another user')
    needs('strace')
    folder = tempfile.mkdtemp(prefix='syscall-probes-hidden-')  # mode 0700
    try:
        shutil.copy(os.path.join(build, 'minitrace'), folder)
        done = subprocess.run([checker(build), 'check', '--observer',
                               os.path.join(folder, 'minitrace') + ' -f -o {report} --',
                               'claimfile-eacces', 'probe4-no-fork', 'probe1-return-0'],
                              capture_output=True, text=True, timeout=120)
        print(done.stdout + done.stderr)
        problems = [] if done.returncode == 0 else ['exit %d' % done.returncode]
        if done.stdout.count('%s (mode 0700) is closed to it' % folder) != 2:
            problems.append('the folder that stops the other users is not named')
        # A library that the command names, which the other user's program
        # cannot load from there.
        shutil.copy(os.path.join(build, 'libinterpose.so'), folder)
        done = subprocess.run([checker(build), 'check', '--observer', 'env INTERPOSE_REPORT='
                               '{report} LD_PRELOAD=%s/libinterpose.so' % folder,
                               'claimfile-eacces', 'probe1-return-0'],
                              capture_output=True, text=True, timeout=120)
        print(done.stdout + done.stderr)
        if done.returncode or done.stdout.count('%s (mode 0700) is closed to it' % folder) != 1:
            problems.append('the folder of a library that the command names is not named')
        done = subprocess.run([checker(build), 'check', 'claimfile-eacces', 'probe1-return-0'],
                              capture_output=True, text=True, timeout=120,
                              env=dict(os.environ, TMPDIR=folder))
        print(done.stdout + done.stderr)
        if done.returncode or done.stdout.count('%s (mode 0700) is closed to it' % folder) != 2:
            problems.append('a temporary folder closed to other users is not named')
        return problems
    finally:
        shutil.rmtree(folder)


def descriptors(build):
    """The checker holds a descriptor above 1024; the observer inherits none
    but 0, 1, 2 and the situation's 1000."""
    needs('strace')
    observer = os.path.join(TESTS, 'faulty-observer') + ' fds {report} --'
    with open(os.devnull) as held:
        os.dup2(held.fileno(), 1500)
        done = subprocess.run([checker(build), 'check', '--observer', observer,
                               'probe1-return-0', 'probe5-fd1000'], pass_fds=(1500,),
                              capture_output=True, text=True, timeout=120)
    print(done.stdout + done.stderr)
    return [] if done.returncode == 0 else ['exit %d' % done.returncode]


LIMITS = {'nofile': resource.RLIMIT_NOFILE, 'nproc': resource.RLIMIT_NPROC,
          'as': resource.RLIMIT_AS}


def limited(build, which, soft, hard, user, status, phrase, *args):
    """check as USER (self or nobody) under a limit (ulimit -n, -u or -v): a
    situation that cannot be made skips with the reason; the checker that
    runs short says so, exit 2, blames no observer, and leaves nothing
    behind."""
    needs('strace', 'ltrace')
    if '--observer' in args:
        needs('qemu-x86_64')
    if which == 'nofile' and int(soft) < 64 and sanitized(build):
        fail('the sanitizers test memory through descriptors of their own', 77)
    if which == 'as' and sanitized(build):
        fail('the sanitizers reserve more address space than any limit here', 77)
    if which == 'nproc' and int(soft) < 64 and sanitized(build):
        fail("the leak check's tracer at exit is a process of its own", 77)
    uid = None if user == 'self' else pwd.getpwnam(user).pw_uid
    if uid is not None:
        needs_root('to run as ' + user)
    # HARD may be "same": the one in force, which only a privilege raises
    limits = (int(soft), resource.getrlimit(LIMITS[which])[1] if hard == 'same' else int(hard))

    def start():
        resource.setrlimit(LIMITS[which], limits)
        if uid is not None:
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
    try:
        subprocess.run([checker(build), '--help'], capture_output=True, preexec_fn=start)
    except PermissionError:  # a clone in /root, say
        fail('%s cannot reach %s' % (user, checker(build)), 77)
    folder = tempfile.mkdtemp(prefix='syscall-probes-limited-')
    os.chmod(folder, 0o711)  # the situations' other users pass through
    try:
        if uid is not None:
            os.chown(folder, uid, uid)
        done = subprocess.run([checker(build)] + list(args), capture_output=True, text=True,
                              env=dict(os.environ, TMPDIR=folder), timeout=120,
                              preexec_fn=start)
        print(done.stdout + done.stderr)
        problems = [] if done.returncode == int(status) else \
            ['exit %d, not %s' % (done.returncode, status)]
        if phrase not in done.stdout + done.stderr:
            problems.append('without "%s"' % phrase)
        if 'FAILED' in done.stdout or 'terminate' in done.stderr:
            problems.append('an observer was blamed, or the checker gave up')
        return problems + leftovers(folder)
    finally:
        shutil.rmtree(folder)


def junit_link(build):
    """--junit names a link planted to a file: refused before anything runs,
    and the file stays as it was. As root, also: a path through another
    user's link, or in a folder others may write in, is refused; in a sticky
    folder, another user's file of that name is replaced by one of root's,
    not written into; and a check interrupted leaves the file that was."""
    folder = tempfile.mkdtemp(prefix='syscall-probes-junit-')
    precious = os.path.join(folder, 'precious')

    def junit(path, *situations):
        start = time.monotonic()
        done = subprocess.run([checker(build), 'check', '--junit', path] + list(situations),
                              capture_output=True, text=True, timeout=120)
        print(done.stdout + done.stderr)
        return done.returncode, done.stdout, done.stderr, time.monotonic() - start

    def unchanged():
        with open(precious) as f:
            return f.read() == 'precious\n'
    try:
        with open(precious, 'w') as f:
            f.write('precious\n')
        os.symlink(precious, os.path.join(folder, 'out.xml'))
        status, out, err, took = junit(os.path.join(folder, 'out.xml'))
        problems = [] if status == 2 else ['exit %d, not 2' % status]
        if 'symbolic link' not in err or out:
            problems.append('not refused before the check, in one line')
        if not unchanged() or took > 5:
            problems.append('the link was followed')
        if os.geteuid() != 0:
            return problems
        nobody = pwd.getpwnam('nobody').pw_uid
        for name, mode in (('open', 0o777), ('sticky', 0o1777)):
            os.mkdir(os.path.join(folder, name))
            os.chmod(os.path.join(folder, name), mode)
        via = os.path.join(folder, 'via')
        os.symlink(folder, via)
        os.lchown(via, nobody, nobody)
        for path, phrase in ((os.path.join(via, 'new.xml'), "is a link of user"),
                             (os.path.join(folder, 'open', 'new.xml'), 'not sticky')):
            status, out, err, took = junit(path)
            if status != 2 or phrase not in err or os.path.exists(path):
                problems.append('--junit %s: exit %d, not refused' % (path, status))
        theirs = os.path.join(folder, 'sticky', 'out.xml')
        os.link(precious, theirs)  # a hard link, as protected_hardlinks=0 lets
        os.chown(precious, nobody, nobody)
        os.chmod(precious, 0o666)
        status, out, err, took = junit(theirs, 'probe1-return-0')
        if status != 0 or os.stat(theirs).st_uid != 0 or not unchanged():
            problems.append("another user's file was written into, exit %d" % status)
        with open(theirs) as f:
            before = f.read()
        hang = os.path.join(TESTS, 'faulty-observer') + ' hang {report} --'
        run = [checker(build), 'check', '--junit', theirs, '--timeout', '60',
               '--observer', hang, 'probe1-return-0']
        stopped = subprocess.Popen(run, stdout=subprocess.PIPE, text=True)
        time.sleep(1)
        stopped.send_signal(signal.SIGTERM)
        stopped.communicate(timeout=120)
        with open(theirs) as f:
            if f.read() != before or len(os.listdir(os.path.dirname(theirs))) != 1:
                problems.append('an interrupted check changed the JUnit file')
        return problems
    finally:
        shutil.rmtree(folder)


def keep(build):
    """--keep DIR keeps each run's report, output, status and folder in
    DIR/SITUATION/OBSERVER/, the start-up's as empty-main's; a link planted
    there is not followed, and a folder others may write in is refused."""
    needs('strace', 'ltrace')
    folder = tempfile.mkdtemp(prefix='syscall-probes-keep-')
    try:
        kept = os.path.join(folder, 'kept')
        done = subprocess.run([checker(build), 'check', '--keep', kept, 'probe5-in-source'],
                              capture_output=True, text=True, timeout=120)
        print(done.stdout + done.stderr)
        problems = [] if done.returncode == 0 else ['exit %d' % done.returncode]
        for observer in ('strace', 'ltrace'):
            run = os.path.join(kept, 'probe5-in-source', observer)
            for name, want in (('stdout', '12345\n'), ('status', '0\n'), ('stderr', '')):
                with open(os.path.join(run, name)) as f:
                    if f.read() != want:
                        problems.append('%s/%s is not %r' % (observer, name, want))
            with open(os.path.join(run, 'report')) as f:
                if 'probe5.cpp' not in f.read():
                    problems.append('%s/report is not the report' % observer)
            if not os.path.exists(os.path.join(kept, 'empty-main', observer, 'report')):
                problems.append('no report of empty-main under %s' % observer)
        target = os.path.join(folder, 'precious')
        with open(target, 'w') as f:
            f.write('precious\n')
        shutil.rmtree(os.path.join(kept, 'probe5-in-source'))
        os.symlink(folder, os.path.join(kept, 'probe5-in-source'))
        done = subprocess.run([checker(build), 'check', '--keep', kept, 'probe5-in-source'],
                              capture_output=True, text=True, timeout=120)
        print(done.stdout + done.stderr)
        if done.returncode != 2 or open(target).read() != 'precious\n':
            problems.append('a planted link was followed: exit %d' % done.returncode)
        os.chmod(kept, 0o777)
        done = subprocess.run([checker(build), 'check', '--keep', kept, 'probe5-in-source'],
                              capture_output=True, text=True, timeout=120)
        print(done.stdout + done.stderr)
        if done.returncode != 2 or 'no one else may write' not in done.stderr:
            problems.append('a folder others may write in was taken')
        return problems
    finally:
        shutil.rmtree(folder)


def squatted(build):
    """Another user holds every name the checker once took its process-limit
    user id by, and runs a process as the first such id: the run under the
    limit still gets a user id of its own and passes."""
    needs_root('to run under a process limit')
    needs('strace', 'ltrace')
    resource.setrlimit(resource.RLIMIT_NOFILE, (8192, 8192))
    held = []
    for uid in range(61000, 65000):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.bind(b'\0syscall-probes/uid/%d' % uid)
            held.append(sock)
        except OSError:
            sock.close()
    squatter = os.fork()
    if squatter == 0:
        os.setgroups([])
        os.setresgid(61000, 61000, 61000)
        os.setresuid(61000, 61000, 61000)
        time.sleep(120)
        os._exit(0)
    for _ in range(500):  # until it runs as that user
        with open('/proc/%d/status' % squatter) as f:
            if re.search(r'^Uid:\s+61000\b', f.read(), re.M):
                break
        time.sleep(0.01)
    try:
        done = subprocess.run([checker(build), 'check', 'probe4-no-fork'], capture_output=True,
                              text=True, timeout=120)
    finally:
        os.kill(squatter, signal.SIGKILL)
        os.waitpid(squatter, 0)
        for sock in held:
            sock.close()
    print(done.stdout + done.stderr)
    return [] if done.returncode == 0 and '2 passed' in done.stdout else \
        ['exit %d: the run under a process limit did not pass' % done.returncode]


def hostile(build, shape, fmt, phrase):
    """A hostile report of 4 MiB in one of the shapes that once took minutes
    or gigabytes: judged, twice (the start-up and the situation), in seconds
    (at most a few dozen times a plain report's check) and within 100 MB."""
    needs('strace')
    faulty = os.path.join(TESTS, 'faulty-observer')
    start = time.monotonic()
    subprocess.run([checker(build), 'check', '--observer', faulty + ' strace {report} --',
                    'probe4-file'], capture_output=True, timeout=120)
    plain = time.monotonic() - start
    observer = '%s shape %s {report} --' % (faulty, shape)
    start = time.monotonic()
    done = subprocess.run([checker(build), 'check', '--format', fmt, '--observer', observer,
                           'probe4-file'], capture_output=True, text=True, timeout=120)
    took = time.monotonic() - start
    memory = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss >> 10
    print(done.stdout[:2000] + done.stderr)
    print('%.1f s, %d MB; a plain report %.1f s' % (took, memory, plain))
    slower = 4 if sanitized(build) else 1
    problems = [] if done.returncode == 1 and phrase in done.stdout else \
        ['exit %d, without "%s"' % (done.returncode, phrase)]
    if took > max(6, 20 * plain) * slower:
        problems.append('took %.1f s' % took)
    if memory > 100 and slower == 1:
        problems.append('took %d MB' % memory)
    return problems


def formats(build):
    """Every recorded report (tests/fuzz-seeds/NAME.FORMAT and
    tests/interleavings/FORMAT-VERSION/*.log) is told to be in its format
    from its framing alone, and read."""
    reports = [(os.path.join(TESTS, 'fuzz-seeds', n), n.rsplit('.', 1)[1])
               for n in os.listdir(os.path.join(TESTS, 'fuzz-seeds'))]
    for folder in os.listdir(os.path.join(TESTS, 'interleavings')):
        where = os.path.join(TESTS, 'interleavings', folder)
        reports += [(os.path.join(where, n), folder.split('-')[0])
                    for n in os.listdir(where) if n.endswith('.log')]
    problems = []
    for path, fmt in sorted(reports):
        done = subprocess.run([os.path.join(build, 'read-report'), 'auto', path],
                              capture_output=True, text=True)
        told = done.stdout.split('\n', 1)[0]
        if told != fmt or done.returncode:
            problems.append('%s: told %s, exit %d' % (path, told, done.returncode))
    print('%d reports' % len(reports))
    return problems


def recorded(build):
    """Real reports of every format, as each observer of a release we know
    wrote them (tests/fuzz-seeds/NAME.FORMAT), are read as the checker reads
    them, without running any observer: each gives the calls in
    tests/recorded/NAME.FORMAT, line for line."""
    problems = []
    seeds = sorted(os.listdir(os.path.join(TESTS, 'fuzz-seeds')))
    for name in seeds:
        done = subprocess.run([os.path.join(build, 'read-report'), name.rsplit('.', 1)[1],
                               os.path.join(TESTS, 'fuzz-seeds', name)],
                              capture_output=True, text=True)
        with open(os.path.join(TESTS, 'recorded', name)) as f:
            want = f.read()
        if done.returncode or done.stdout != want:
            got, lines = done.stdout.splitlines(), want.splitlines()
            first = next((i for i, (a, b) in enumerate(zip(lines, got)) if a != b),
                         min(len(lines), len(got)))
            problems.append('%s, line %d: %r, where the reading gives %r' % (
                name, first + 1, lines[first] if first < len(lines) else None,
                got[first] if first < len(got) else None))
    print('%d reports read' % len(seeds))
    return problems


def normalised(call):
    """A call of a replayed report with what varies from run to run as N:
    ids, and what the calls that return one return; rt_sigprocmask's
    arguments, which qemu 10 writes a piece a token, another process's pieces
    among them, and which no verdict holds against anything: the C library
    calls it on its own account."""
    call = re.sub(r'^((?:clone|fork|getpid|getppid|gettid|set_tid_address)\(.*\) = )\d+$',
                  r'\1N', call)
    if call.startswith('rt_sigprocmask('):  # never judged: the C library's own
        call = 'rt_sigprocmask(...)'

    return re.sub(r'\b\d{4,}\b', 'N', call)


def replay(build, folder):
    """Real reports of a fork, each with its processes' lines cut into one
    another in a way once seen (tests/interleavings/FOLDER/*.log; those named
    after the way are a real report with two lines moved to show it), read as
    the checker reads them: each gives the calls in FOLDER/expected, from the
    fork on. No observer runs."""
    where = os.path.join(TESTS, 'interleavings', folder)
    fmt = folder.split('-')[0]
    with open(os.path.join(where, 'expected')) as f:
        want = f.read()
    problems = []
    logs = sorted(name for name in os.listdir(where) if name.endswith('.log'))
    for name in logs:
        done = subprocess.run([os.path.join(build, 'read-report'), fmt,
                               os.path.join(where, name)], capture_output=True, text=True)
        order, calls = [], {}
        for line in done.stdout.splitlines():
            pid, _, call = line.partition(' ')
            if pid not in calls:
                order.append(pid)
                calls[pid] = []
            calls[pid].append(call)
        got = ''
        for number, pid in enumerate(order):
            shown = calls[pid]
            if number == 0:  # the parent, from its fork on
                forks = [i for i, c in enumerate(shown) if re.match(r'(clone|fork)\(', c)]
                shown = shown[forks[0]:] if forks else []
            got += ''.join('P%d %s\n' % (number + 1, normalised(c)) for c in shown)
        if done.returncode or got != want:
            problems.append('%s/%s is read as:\n%s%s' % (folder, name, got, done.stderr))
    print('%d reports of %s read' % (len(logs), folder))
    return problems


def replayed(build, folder):
    """Real observers' runs (tests/replays/FOLDER/SITUATION/OBSERVER, kept by
    tests/replays.py) given back by tests/replay-observer, with no observer
    installed: each is judged against the references as it was when it ran."""
    where = os.path.join(TESTS, 'replays', folder)
    problems, count = [], 0
    for situation in sorted(os.listdir(where)):
        for name in sorted(os.listdir(os.path.join(where, situation))):
            if not os.path.exists(os.path.join(where, situation, name, 'verdict')):
                continue  # the start-up
            with open(os.path.join(where, situation, name, 'verdict')) as f:
                want = f.read()
            command = ' '.join(shlex.quote(w) for w in [
                os.path.join(TESTS, 'replay-observer'), where, situation, name, '{report}', '--'])
            done = subprocess.run([checker(build), 'check', '--name', name, '--observer', command,
                                   situation], capture_output=True, text=True, timeout=60)
            got = verdicts(done.stdout).get(situation, done.stdout + done.stderr)
            count += 1
            if got != want:
                problems.append('%s under %s: judged\n%swhere it was\n%s' % (
                    situation, name, got, want))
    print('%d runs judged again' % count)
    return problems


def attack(build):
    """While root checks, a user that no situation runs as plants symbolic
    links to a file of root's in every folder it can reach under the
    temporary folder (a sticky one of the test's own, as /tmp is), with every
    name the checker's runs use. The file must stay as it was, and the check
    must still pass."""
    needs_root('to check as root')
    needs('strace', 'ltrace')
    taken = {entry.pw_uid for entry in pwd.getpwall()}
    attacker = next(u for u in range(59000, 60000) if u not in taken)
    secret = tempfile.mkdtemp(prefix='syscall-probes-secret-')
    target = os.path.join(secret, 'precious')
    with open(target, 'w') as f:
        f.write('precious\n')
    top = tempfile.mkdtemp(prefix='syscall-probes-attacked-')
    os.chmod(top, 0o1777)
    names = ('report', 'stdout', 'stderr', 'cwd', 'my_file', 'probe4', 'claimfile')
    child = os.fork()
    if child == 0:  # the attacker
        os.setgroups([])
        os.setresgid(attacker, attacker, attacker)
        os.setresuid(attacker, attacker, attacker)
        while True:
            planted = 0
            for folder, subfolders, _ in os.walk(top):
                for name in names:
                    try:
                        os.symlink(target, os.path.join(folder, name))
                        planted += 1
                    except OSError:
                        pass
            if planted:
                os.write(2, b'planted %d links\n' % planted)
    try:
        done = subprocess.run([os.path.join(build, 'syscall-probes'), 'check'],
                              capture_output=True, text=True, cwd='/',
                              env=dict(os.environ, TMPDIR=top))
    finally:
        os.kill(child, 9)
        os.waitpid(child, 0)
    with open(target) as f:
        kept = f.read()
    shutil.rmtree(secret)
    shutil.rmtree(top)
    print(done.stdout.splitlines()[-1:])
    problems = []
    if kept != 'precious\n':
        problems.append('root\'s file was overwritten: %r' % kept[:200])
    if done.returncode:
        problems.append('the check under attack failed:\n' + done.stdout + done.stderr)
    return problems


def observers_only(build):
    """check as root with the observers alone on the PATH: no Python, setpriv,
    prlimit, unshare, readelf or addr2line. Every situation passes; one may
    skip only where the kernel refuses a privilege."""
    needs_root('to check every situation')
    needs('strace', 'ltrace')
    with tempfile.TemporaryDirectory() as path:
        os.chmod(path, 0o755)  # the observer runs as other users too
        for tool in ('strace', 'ltrace'):
            os.symlink(shutil.which(tool), os.path.join(path, tool))
        done = subprocess.run([os.path.join(build, 'syscall-probes'), 'check'], cwd='/',
                              env={'PATH': path}, capture_output=True, text=True)
    print(done.stdout + done.stderr)
    skips = [line for line in done.stdout.splitlines()
             if ' skipped: ' in line and ' is refused here: ' not in line]
    return (['exit %d' % done.returncode] if done.returncode else []) + skips


def vm(build, *args):
    """tools/vm: the build's programs checked on a real kernel that runs their
    ABI, under qemu-system; every situation passes, and only those of a
    tracer that Debian ships not for the architecture, as tools/vm says, are
    skipped. KVM is asked for: where this machine offers none, or none for
    the processor, the machine is emulated after qemu or tools/vm says why."""
    needs('apt-get')  # and the rest, which tools/vm names in its one line
    with tempfile.TemporaryDirectory() as cache:  # its kernel, let go after
        done = subprocess.run([os.path.join(os.path.dirname(TESTS), 'tools', 'vm'), build]
                              + list(args),
                              env=dict(os.environ, XDG_CACHE_HOME=cache, SYSCALL_PROBES_VM_KVM='1'),
                              capture_output=True, text=True, timeout=100 * SLOW)
    print(done.stdout + done.stderr)
    if done.returncode == 2 and ': install ' in done.stderr:
        sys.exit(77)  # what it needs is missing, said in its one line
    unshipped = re.findall(r'Debian ships no (\S+) for ', done.stderr)
    skipped = [line for line in done.stdout.splitlines()
               if ' skipped: ' in line and line.split()[1] not in unshipped]
    last = (done.stdout.strip().splitlines() or [''])[-1]
    if done.returncode or not re.fullmatch(r'[1-9]\d* passed, 0 failed, \d+ skipped', last):
        return ['exit %d, "%s"' % (done.returncode, last)]
    return skipped


def command(build, status, phrase, *args):
    """syscall-probes ARGS exits with STATUS and prints PHRASE, in one line
    and without a traceback when it is an error; STATUS/SECONDS: and ends
    within that many seconds."""
    # {build}: the programs' folder; {tests}: this one
    args = [arg.replace('{build}', build).replace('{tests}', TESTS) for arg in args]
    status, _, seconds = status.partition('/')
    with subprocess.Popen([os.path.join(build, 'syscall-probes')] + args, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as checking:
        try:
            out, err = checking.communicate(timeout=int(seconds or 60))
        except subprocess.TimeoutExpired:
            # Ended as a user would end it, so that it leaves nothing behind.
            checking.terminate()
            checking.communicate(timeout=30)
            return ['not ended within %s s' % (seconds or 60)]
    done = subprocess.CompletedProcess(checking.args, checking.returncode, out, err)
    said = done.stdout + done.stderr
    print(said)
    problems = []
    if done.returncode != int(status):
        problems.append('exit %d, not %s' % (done.returncode, status))
    if phrase not in said:
        problems.append('without "%s"' % phrase)
    if done.returncode and len(done.stderr.splitlines()) > 1:
        problems.append('more than one line on standard error')
    return problems


def results(build, *situations):
    """check --tap --junit with an observer that gets probe5's digits wrong:
    prove reads the TAP without a parse error and counts what failed, and
    the JUnit file has a test case per situation, failures as failures."""
    edit = os.path.join(TESTS, 'faulty-observer') + " strace 's/\"12345/\"12346/' {report} --"
    with tempfile.TemporaryDirectory() as work:
        tap, xml = os.path.join(work, 'out.tap'), os.path.join(work, 'out.xml')
        with open(tap, 'w') as out:
            done = subprocess.run([os.path.join(build, 'syscall-probes'), 'check', '--tap',
                                   '--junit', xml, '--observer', edit] + list(situations),
                                  stdout=out)
        prove = shutil.which('prove') or fail('prove (Debian package perl) is needed and missing')
        proved = subprocess.run([prove, '-e', 'cat', tap], capture_output=True, text=True)
        print(proved.stdout + proved.stderr)
        cases = ElementTree.parse(xml).getroot().iter('testcase')
        got = sorted((c.get('name'), c.find('failure') is not None) for c in cases)
    want = sorted((s, s.startswith('probe5')) for s in situations)
    problems = [] if done.returncode == 1 else ['exit %d, not 1' % done.returncode]
    if 'Parse errors' in proved.stdout or 'Failed: %d' % sum(f for _, f in want) \
            not in proved.stdout:
        problems.append('prove did not read the TAP as it should')
    if got != want:
        problems.append('the JUnit test cases are %s, not %s' % (got, want))
    return problems


def together(build, situation, rounds, apart=None):
    """Two checkers at once, several times over: neither disturbs the other,
    even each in a container of its own (apart), with a /run of its own, in
    which each takes the same user id for a limit on processes."""
    needs('strace', 'ltrace')
    problems = []
    command = [os.path.join(build, 'syscall-probes'), 'check', situation]
    if apart:
        needs_root('to mount a /run of its own')
        needs('unshare')
        command = ['unshare', '-m', 'sh', '-c',
                   'mount -t tmpfs none /run && exec "$@"', 'sh'] + command
        tried = subprocess.run(['unshare', '-m', 'true'], capture_output=True, text=True)
        if tried.returncode:
            fail('a mount namespace is refused here: ' + tried.stderr.strip(), 77)
    for _ in range(int(rounds)):
        runs = [subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
                for _ in range(2)]
        for run in runs:
            out = run.communicate()[0]
            if run.returncode:
                problems.append('a check run beside another failed:\n' + out)
    return problems


def main():
    if len(sys.argv) != 3:
        fail(__doc__.strip())
    build, name = os.path.abspath(sys.argv[1]), sys.argv[2]
    # The observers of these tests are Python scripts: their "env python3"
    # finds this interpreter first, not a version manager's shim that costs
    # a tenth of a second or more at every start.
    os.environ['PATH'] = os.path.dirname(sys.executable) + os.pathsep + os.environ['PATH']
    with open(os.path.join(TESTS, 'cases')) as table:
        line = next((w for w in (shlex.split(t, comments=True) for t in table)
                     if w and w[0] == name), None)
    if line is None:
        fail('no case named ' + name)
    kind, args = line[1].split(':')[0], line[2:]  # KIND:LIBC, see CMakeLists.txt
    # qemu emulates the processor: it runs what the kernel will not; a
    # virtual machine boots a kernel that does.
    emulated = kind == 'vm' or (
        kind == 'observer' and any(w.startswith('qemu') for w in args[3:5]))
    refused = '' if kind in READING or emulated else kernel_refuses(build)
    if refused:
        fail(refused, 77)
    if kind == 'elf':
        problems = elf(build, *args)
    elif kind == 'install':
        problems = install(build)
    elif kind == 'attack':
        problems = attack(build)
    elif kind == 'observers-only':
        problems = observers_only(build)
    elif kind == 'command':
        problems = command(build, *args)
    elif kind == 'results':
        problems = results(build, *args)
    elif kind == 'together':
        problems = together(build, *args)
    elif kind == 'pretend':
        problems = pretend(build, *args)
    elif kind == 'observer':
        problems = observer(build, args[0], args[1], args[2], args[3:])
    elif kind in ('tmpdir', 'mounted', 'interrupt', 'escape', 'descriptors', 'limited', 'private',
                  'controls', 'hidden',
                  'junit-link', 'squatted', 'hostile', 'replay', 'formats', 'keep',
                  'recorded', 'replayed', 'vm'):
        problems = globals()[kind.replace('-', '_')](build, *args)
    else:
        fail('unknown kind %s in tests/cases' % kind)
    print('\n'.join(problems) or 'ok')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
