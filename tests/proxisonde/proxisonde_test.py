#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""proxisonde end to end: against a recording stand-in for libproxy, here
and in the x86-64 kernel guest; against the real libproxy with no network;
and with real WPAD on loopback. TAP."""
import ctypes
import errno
import glob
import os
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from helpers import SLOWDOWN, Tap, namespaces, sandbox_missing, seconds, valgrind_runs

PROBE = os.environ['PROXISONDE']
UNCONFINED = os.environ['UNCONFINED']
REFUSING = os.environ['REFUSING']
STUB_DIR = os.environ['STUB_DIR']
WPAD_SANDBOX = os.path.join(os.environ['TOOLS'], 'wpad-sandbox')
KERNEL_SANDBOX = os.path.join(os.environ['TOOLS'], 'kernel-sandbox')
SANITIZED = os.environ.get('SANITIZED')

URL = re.compile(r'https://[a-z0-9-]+(\.[a-z0-9-]+)+')
PROXY_VARS = ('http_proxy', 'https_proxy', 'all_proxy', 'no_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'ALL_PROXY', 'NO_PROXY')


def valgrind_reads():
    """Why valgrind cannot check the probe, or None: valgrind 3.19 gives up
    on the debug information that Clang 14 writes for a program of two
    sources (DWARF 5)."""
    with tempfile.NamedTemporaryFile() as log:
        p = subprocess.run(['valgrind', '-q', PROBE], capture_output=True, text=True, timeout=seconds(4),
                           env=dict(os.environ, LD_LIBRARY_PATH=STUB_DIR, PROXY_STUB='no-factory', PROXY_STUB_LOG=log.name))
    version = subprocess.run(['valgrind', '--version'], capture_output=True, text=True).stdout.strip()
    return f'{version} gives up on the probe\'s debug information' if 'Giving up' in p.stderr else None


# A sanitized build checks memory itself, and cannot run under valgrind.
NO_MEMCHECK = ('a sanitized build checks memory itself' if SANITIZED else
               'no valgrind here' if not shutil.which('valgrind') else valgrind_runs('valgrind') or valgrind_reads())
MEMCHECK = not NO_MEMCHECK
# What libproxy itself leaves behind is suppressed by the call chains inside
# it. Memory still reachable at exit is the libraries' (GLib keeps its type
# system), not a leak. valgrind's own messages (about a debug format it cannot
# read, say) go to its log, and only its verdict counts.
HERE = os.path.dirname(os.path.abspath(__file__))
SUPPRESSIONS = [os.path.join(HERE, 'libproxy.supp')]
if MEMCHECK and '--show-realloc-size-zero' in subprocess.run(['valgrind', '--help'], capture_output=True,
                                                             text=True).stdout:
    SUPPRESSIONS.append(os.path.join(HERE, 'duktape.supp'))
LEAKS = 'definite,indirect,possible'
# A run of the real library is stopped after a time (and killed if it does
# not stop), and fails when it takes longer than a lookup with nothing to
# find should.
TIMEOUT = ('timeout', '-k', '5', str(int(seconds(4))))
VALGRIND = ('valgrind', '-q', '--leak-check=full', f'--show-leak-kinds={LEAKS}', f'--errors-for-leak-kinds={LEAKS}',
            '--error-exitcode=99', '--num-callers=40', *[f'--suppressions={s}' for s in SUPPRESSIONS])


def silent(p):
    return [f'{what}: {got!r}' for what, got in (('stdout', p.stdout), ('stderr', p.stderr)) if got]


def quiet_exit(p, log=None, output=True):
    """The probe's whole answer: status 0 and, with output, no output; and valgrind's log when it found errors."""
    problems = ([] if p.returncode == 0 else [f'status: {p.returncode}']) + (silent(p) if output else [])
    if log and p.returncode == 99 and os.path.exists(log):
        with open(log, encoding='utf-8', errors='replace') as f:
            problems.append('valgrind:\n' + f.read())
    return problems


def memcheck(wrap, log):
    """The wrapper with valgrind's log sent to log."""
    return (*wrap, f'--log-file={log}') if wrap[:1] == ('valgrind',) else wrap


def with_stub(mode, args, wrap=(), work=None, rename=None, kill_at=None):
    """Runs the probe on the stand-in: its problems, and the lines it
    recorded. A lookup that tries the ways out works in the directory
    work, which is also where HOME and XDG_RUNTIME_DIR are; rename, a
    file that replaces another there once the lookup has begun; kill_at, a
    line at whose record the probe is killed, as by its caller."""
    with tempfile.TemporaryDirectory() as tmp:
        # where the probe runs as another user too
        os.chmod(tmp, 0o1777)
        log, vglog = os.path.join(tmp, 'calls'), os.path.join(tmp, 'valgrind')
        env = dict(os.environ, LD_LIBRARY_PATH=STUB_DIR, PROXY_STUB_LOG=log, PROXY_STUB=mode)
        if work:
            env |= {'PROXY_STUB_DIR': work, 'HOME': f'{work}/home', 'XDG_RUNTIME_DIR': f'{work}/run'}
            env.pop('XDG_CONFIG_HOME', None)
        if rename:
            with open(rename[0], 'w', encoding='utf-8') as f:
                f.write('[Proxy Settings]\nProxyType=2\n')
            env['PROXY_STUB_RENAME'] = ' '.join(rename)
        recorded = kill_at and (lambda: os.path.exists(log) and kill_at in open(log, encoding='utf-8').read())
        p, held = run_watched([*memcheck(wrap, vglog), PROBE, *args], env, recorded)
        with open(log, encoding='utf-8') as f:
            problems, lines = environment_read(f.read().rstrip('\0').splitlines())
    # the child that the stand-in started to outlive it: alive while it held the output
    lines = [f'try {OUTLIVES} {0 if held else -signal.SIGKILL}' if ln == f'try {OUTLIVES} 0' else ln for ln in lines]
    return quiet_exit(p, vglog) + problems, lines


def run_watched(command, env, kill_when=None):
    """Runs the probe, killed once kill_when() holds: how it ended, and
    whether its stdout or stderr was still open a second after it had
    ended, held by what it started."""
    with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env) as p:
        output, pending, until = {p.stdout: b'', p.stderr: b''}, [p.stdout, p.stderr], time.monotonic() + seconds(4)
        while pending and time.monotonic() < until:
            if kill_when and kill_when():
                p.kill()
                kill_when = None
            if p.poll() is not None:
                until = min(until, time.monotonic() + 1)
            for f in select.select(pending, [], [], 0.05)[0]:
                chunk = os.read(f.fileno(), 65536)
                output[f] += chunk
                if not chunk:
                    pending.remove(f)
        try:
            p.wait(timeout=max(0.1, until - time.monotonic()))
        except subprocess.TimeoutExpired:
            p.kill()
            raise
        return subprocess.CompletedProcess(command, p.returncode, output[p.stdout], output[p.stderr]), bool(pending)


# What the probe may read of its environment: where the user's data are.
ENVIRONMENT = {'HOME', 'XDG_CONFIG_HOME', 'XDG_RUNTIME_DIR'}


def environment_read(lines):
    """(problems with what the probe read of its environment, the other lines)."""
    read = {ln[len('getenv '):] for ln in lines if ln.startswith('getenv ')}
    problems = [f'the probe read {sorted(read - ENVIRONMENT)}'] if read - ENVIRONMENT else []
    return problems, [ln for ln in lines if not ln.startswith('getenv ')]


# Each way out that the stand-in's lookup tries, as a script that took over
# libproxy's engine would, and what refuses it, with which error: the Landlock
# ABI that brings the refusal; 'closed', the descriptors the probe closes;
# 'seccomp', its filter, where the kernel has seccomp filters; 'socket', the
# filter too, where the C library makes sockets with socket(2) itself;
# 'socketcall', the filter where it refuses socketcall(2) itself; 'ipc', the
# filter where the target has ipc(2); 'x32', the filter's check of x86-64's x32
# calls; 'pid namespace', the lookup's own, where the kernel lets this user
# make one; 'landlock as root', Landlock, where the caller has the capability;
# 'emulator', qemu-user, which lacks the call; 'ptrace', the filter but in a
# sanitizer build, whose runtime needs the call; 'limit', the data limit, where
# the kernel holds it; or None, what must stay open. A negative error is the
# signal that ends the try.
OUTLIVES = 'a child outliving the probe'
WAYS_OUT = [
    ('descriptor', 'closed', errno.EBADF),
    ('standard descriptors', None, 0),
    ('create', 1, errno.EACCES),
    ('append', 1, errno.EACCES),
    ('mkdir', 1, errno.EACCES),
    ('remove', 1, errno.EACCES),
    ('rename', 1, errno.EACCES),
    ('truncate', 'seccomp', errno.EPERM),
    ('truncate', 3, errno.EACCES),
    ('chmod', 'seccomp', errno.EPERM),
    ('chown', 'seccomp', errno.EPERM),
    ('utimes', 'seccomp', errno.EPERM),
    ('setxattr', 'seccomp', errno.EPERM),
    ('io_uring', 'seccomp', errno.EPERM),
    ('keyring', 'seccomp', errno.EPERM),
    ('read temporary', 1, errno.EACCES),
    ('read key', 1, errno.EACCES),
    ('read settings', None, 0),
    ('read system', None, 0),
    ('read caller', 1, errno.EACCES),
    ('terminal', 1, errno.EACCES),
    ('inject keystrokes', 'seccomp', errno.EPERM),
    ('open by handle', 'seccomp', errno.EPERM),
    # without CAP_DAC_READ_SEARCH the kernel refuses it first
    ('open by handle', 'landlock as root', errno.EACCES),
    ('signal itself', None, 0),
    ('signal caller', 'seccomp', errno.EPERM),
    # no other process is there to reach by its ID
    ('signal caller', 'pid namespace', errno.ESRCH),
    ('signal caller', 6, errno.EPERM),
    # kill(-1) reports success where Landlock refused every process: the
    # filter alone answers
    ('signal everyone', 'seccomp', errno.EPERM),
    # under qemu-user, which has neither call
    ('ptrace', 'emulator', errno.ENOSYS),
    ('read memory', 'emulator', errno.ENOSYS),
    ('ptrace', 'ptrace', errno.EPERM),
    ('ptrace', 'pid namespace', errno.ESRCH),
    ('ptrace', 1, errno.EPERM),
    ('read memory', 'seccomp', errno.EPERM),
    ('read memory', 'pid namespace', errno.ESRCH),
    ('read memory', 1, errno.EPERM),
    # its descriptor is asked for first
    ('take a descriptor', 'pid namespace', errno.ESRCH),
    ('take a descriptor', 'seccomp', errno.EPERM),
    ('take a descriptor', 1, errno.EPERM),
    ('abstract socket', 'socket', errno.EPERM),
    ('abstract socket', 6, errno.EPERM),
    ('session bus', 'socket', errno.EPERM),
    ('session bus', 9, errno.EACCES),
    ('unix socket through socketcall', 'socketcall', errno.EPERM),
    ('x32 call', 'x32', -signal.SIGSYS),
    ('listen', 4, errno.EACCES),
    ('listen', 'seccomp', errno.EPERM),
    ('connect', None, 0),
    ('device ioctl', 5, errno.EACCES),
    ('memory', 'limit', errno.ENOMEM),
    ('own limits and scheduling', None, 0),
    # the user's, in a user namespace too
    ('own IDs', None, 0),
    ("another process's limit", 'seccomp', errno.EPERM),
    ("another process's limit", 'pid namespace', errno.ESRCH),
    # each read first by the ID, which the filter lets be
    *[(f"another process's {what}", by, err) for what in ('nice value', 'affinity', 'scheduler', 'I/O priority')
      for by, err in (('pid namespace', errno.ESRCH), ('seccomp', errno.EPERM))],
    *[(f"another process group's {what}", 'seccomp', errno.EPERM) for what in ('nice value', 'I/O priority')],
    *[(route, 'seccomp', errno.EPERM) for route in ('F_SETOWN', 'F_SETOWN_EX', 'F_SETSIG', 'FIOSETOWN', 'SIOCSPGRP')],
    *[(ipc, 'seccomp', errno.EPERM) for ipc in ('System V shared memory', 'System V semaphores',
                                                 'System V message queues', 'POSIX message queues')],
    ('attach a System V segment by its ID', 'seccomp', errno.EPERM),
    ('System V IPC through ipc', 'ipc', errno.EPERM),
    ("a file's flags", 'seccomp', errno.EPERM),
    ("a file's extended flags", 'seccomp', errno.EPERM),
    ('truncate a standard descriptor', 'seccomp', errno.EPERM),
    *[(call, 'seccomp', errno.EPERM) for call in ('unshare', 'setns', 'clone a namespace')],
    # clone3's flags are in memory: missing, so that the C library uses clone
    ('clone3', 'seccomp', errno.ENOSYS),
    # a child that left the session, ended with the probe: the tests see it
    # holding the probe's output
    (OUTLIVES, 'pid namespace', -signal.SIGKILL),
]


def elf_target(path):
    """The ELF machine number of a program, its word size and byte order."""
    with open(path, 'rb') as f:
        head = f.read(20)
    order = 'little' if head[5] == 1 else 'big'
    return int.from_bytes(head[18:20], order), 64 if head[4] == 2 else 32, order


# The targets whose system calls the probe's filter knows, by the probe's
# ELF header (an emulator may report its host's machine): x86-64 (not its
# x32 ABI), i386, aarch64 and arm little-endian, ppc64 little-endian,
# s390x, each with a kernel guest. Of them, i386's and s390x's C libraries
# make sockets through socketcall(2).
TARGET = elf_target(PROBE)
FILTERED = TARGET in {(62, 64, 'little'), (3, 32, 'little'), (183, 64, 'little'), (40, 32, 'little'),
                      (21, 64, 'little'), (22, 64, 'big')}
SOCKETCALL = TARGET in {(3, 32, 'little'), (22, 64, 'big')}
# Those that have ipc(2): i386, ppc64 and s390x.
IPC = TARGET in {(3, 32, 'little'), (21, 64, 'little'), (21, 64, 'big'), (22, 64, 'big')}
# ppc64 has socketcall(2), which its GNU C library does not use.
with open(PROBE, 'rb') as f:
    SOCKETCALL_REFUSED = TARGET[0] == 21 and b'libc.so.6' in f.read()


def namespace_possible(*flags):
    """Whether this user can make the namespaces of one of the flags here."""
    child = os.fork()
    if child == 0:
        libc = ctypes.CDLL(None, use_errno=True)
        os._exit(0 if any(libc.unshare(f) == 0 for f in flags) else 1)
    return os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) == 0


# A PID namespace: itself, or in a user namespace of its own.
CLONE_NEWPID, CLONE_NEWUSER = 0x20000000, 0x10000000
PID_NAMESPACE = namespace_possible(CLONE_NEWPID, CLONE_NEWUSER | CLONE_NEWPID)
USER_NAMESPACE = namespace_possible(CLONE_NEWUSER | CLONE_NEWPID)
# No process has an ID past the largest that a kernel gives.
NO_PROCESS = (1 << 22) + 1


def emulated():
    """Whether an emulator answers for the kernel here: qemu-user has no
    ptrace(2), nor process_vm_readv(2), and says ENOSYS itself."""
    libc = ctypes.CDLL(None, use_errno=True)
    return libc.ptrace(16, NO_PROCESS, None, None) == -1 and ctypes.get_errno() == errno.ENOSYS


EMULATED = emulated()


def fault_ends_first_process():
    """Whether a fault ends the first process of a PID namespace here, as
    the kernel forces it; qemu-user takes the fault, then signals itself,
    which that process ignores, and waits for ever."""
    child = os.fork()
    if child == 0:
        libc = ctypes.CDLL(None, use_errno=True)
        if all(libc.unshare(f) != 0 for f in (CLONE_NEWPID, CLONE_NEWUSER | CLONE_NEWPID)):
            os._exit(1)
        first = os.fork()
        if first == 0:
            libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
            ctypes.string_at(0)
        signal.alarm(3)
        os._exit(0 if os.WIFSIGNALED(os.waitpid(first, 0)[1]) else 1)
    return os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) == 0


def loopback_missing():
    """Why the stand-in cannot listen on loopback here, or None."""
    with socket.socket() as s:
        try:
            s.bind(('127.0.0.1', 0))
        except OSError as e:
            return f'no loopback address here ({e.strerror})'
    return None


def data_limit_holds():
    """Whether a data limit holds here, as qemu-user takes one and ignores it."""
    code = 'import resource; resource.setrlimit(resource.RLIMIT_DATA, (1 << 26, 1 << 26)); bytearray(1 << 27)'
    return subprocess.run([sys.executable, '-c', code], capture_output=True).returncode != 0


def kernel_offers(lines):
    """(Landlock ABI, whether seccomp filters) as the stand-in found them."""
    found = next((ln.split() for ln in lines if ln.startswith('kernel ')), ['', '0', '0'])
    return int(found[1]), found[2] == '1'


def ways_out(lines, limit_holds, rows=WAYS_OUT, namespace=True):
    """Problems with the ways out that the stand-in recorded: each refused
    with its error where this kernel has what refuses it (the first such of
    its rows; the namespace where none refuses it), each that must stay open
    open; the lookup itself whole."""
    abi, seccomp = kernel_offers(lines)
    filtered = seccomp and FILTERED
    holds = {'closed': True, 'seccomp': filtered, 'socket': filtered and not SOCKETCALL,
             'socketcall': filtered and SOCKETCALL_REFUSED, 'x32': filtered and TARGET == (62, 64, 'little'),
             'ptrace': filtered and not SANITIZED, 'ipc': filtered and IPC,
             'pid namespace': namespace and PID_NAMESPACE and not SANITIZED,
             'landlock as root': abi >= 1 and os.geteuid() == 0, 'emulator': EMULATED,
             'limit': limit_holds and not SANITIZED}
    tried = dict(ln[len('try '):].rsplit(' ', 1) for ln in lines if ln.startswith('try '))
    # A row whose target cannot be laid out here skips alone, with its reason.
    skipped = dict(ln[len('skip '):].rsplit(' ', 1) for ln in lines if ln.startswith('skip '))
    for name, err in skipped.items():
        print(f'# skipped: {name}: none can be made here ({describe(err)})', flush=True)
    want = {}
    for name, by, err in rows:
        if name in skipped:
            continue
        if by is None:
            want[name] = 0
        elif name not in want and (holds[by] if isinstance(by, str) else abi >= by):
            want[name] = err
    problems = [f'{name}: {describe(tried.get(name))}, want {describe(err)}'
                for name, err in want.items() if tried.get(name) != str(err)]
    problems += full_lookup([ln for ln in lines if not ln.startswith(('try ', 'kernel ', 'renamed ', 'skip '))])
    return problems + ([f'recorded: {lines}'] if problems else [])


def describe(err):
    if err is None:
        return 'not tried'
    err = int(err)
    return 'done' if err == 0 else signal.Signals(-err).name if err < 0 else errno.errorcode.get(err, str(err))


# What the files of the stand-in's directory must hold after the lookup
# (None: absent), where Landlock refuses writes.
UNCHANGED = {'kept': 'kept', 'doomed': 'doomed', 'moved': 'moved', 'long': '0123456789', 'left-open': '',
             'created': None, 'made': None, 'renamed': None}


# dconf's flag files, which a lookup may make and write as dconf does, but
# not truncate, nor make anything else beside them, nor write through a
# link there.
FLAG_FILE = [('make the flag file as dconf does', None, 0), ('truncate the flag file', 3, errno.EACCES),
             ('make a directory beside the flag', 1, errno.EACCES),
             ('write through a link beside the flag', 1, errno.EACCES)]


def no_way_out(rows=(), wrap=()):
    """The stand-in's lookup tries every way out, and the rows instead of
    theirs, in the wrapper; the files stay as they were."""
    with tempfile.TemporaryDirectory(dir='/tmp') as work:
        problems, lines = with_stub('escape', (), wrap, work, rows and (f'{work}/kioslaverc',
                                                                       f'{work}/home/.config/kioslaverc'))
        after = {}
        for name in UNCHANGED:
            path = os.path.join(work, name)
            after[name] = open(path, encoding='utf-8').read() if os.path.isfile(path) else (
                'a directory' if os.path.isdir(path) else None)
    abi, _ = kernel_offers(lines)
    want = dict(UNCHANGED, **({'long': after['long']} if abi < 3 else {}))
    if abi:
        problems += [f'{name}: holds {after[name]!r}, want {want[name]!r}' for name in want if after[name] != want[name]]
    replaced = [name for name, _, _ in rows]
    problems += [] if not rows or 'renamed 1' in lines else ['not renamed']
    problems += [] if not wrap or any(ln.startswith('skip terminal') for ln in lines) else ['a terminal was made']
    return problems + ways_out(lines, data_limit_holds(),
                               list(rows) + [r for r in WAYS_OUT + FLAG_FILE if r[0] not in replaced])


# Where the kernel lacks a part of the confinement, or an outer sandbox
# refuses the question that the probe asks of it first (the part then
# counts as missing), or the part is refused once begun: the calls that
# answer with an error, and whether the lookup runs then, with what remains
# of the confinement.
FALLBACKS = [
    ('no Landlock in the kernel', {'landlock_create_ruleset': errno.ENOSYS}, True),
    ('Landlock not among the security modules', {'landlock_create_ruleset': errno.EOPNOTSUPP}, True),
    ('no seccomp in the kernel', {'seccomp': errno.ENOSYS}, True),
    ('no close_range (before Linux 5.9)', {'close_range': errno.ENOSYS}, True),
] + [(f'{what} refused with {errno.errorcode[err]}', {call: err}, True) for err in (errno.EPERM, errno.EACCES)
     for what, call in (('the Landlock version', 'landlock_create_ruleset'), ('seccomp', 'seccomp'),
                        ('close_range', 'close_range'), ('the data limit', 'prlimit64'))] + [
    ('a Landlock rule refused', {'landlock_add_rule': errno.EPERM}, False),
    ('Landlock refused', {'landlock_restrict_self': errno.EPERM}, False),
    ('the filter refused', {f'seccomp:{1}': errno.EINVAL}, False),  # SECCOMP_SET_MODE_FILTER
    ('no_new_privs refused', {'prctl': errno.EINVAL}, False),
    ('no PID namespace', {'unshare': errno.EPERM}, True),
    # the PID namespace alone refused: the user's, whose capabilities cannot be dropped
    ("the user namespace's capabilities kept", {f'unshare:{CLONE_NEWPID}': errno.EPERM, 'capset': errno.EPERM}, False),
]


def refusing(calls):
    return (REFUSING, *[f'{call}={err}' for call, err in calls.items()], '--')


def fallback(calls, looks_up):
    """The lookup runs, within what the kernel gives, or no lookup runs."""
    if not looks_up:
        problems, lines = with_stub('', (), refusing(calls))
        return problems + ([f'calls: {lines}'] if lines else [])
    with tempfile.TemporaryDirectory(dir='/tmp') as work:
        problems, lines = with_stub('escape', (), refusing(calls), work)
    # Where the sandbox refuses prlimit64, no limit is the probe's to set.
    limits = 'prlimit64' not in calls
    return problems + ways_out(lines, data_limit_holds() and limits, [
        row for row in WAYS_OUT + FLAG_FILE if limits or row[0] != 'own limits and scheduling'], 'unshare' not in calls)


# The world: a file in each of the users' places, and the system's files
# beside them, laid out where the probe looks: in a mount namespace of its
# own here, on the root of the kernel guest, whose /home leads to /var/home.
# Each row, a file for the stand-in to read: 'place', withheld whatever the
# environment says; 'named', withheld where the environment is WORLD_ENV,
# which names it; None, what a lookup may read.
WORLD = [
    ('read another home', '/home/other/secret', 'place'),
    ('read /root', '/root/secret', 'place'),
    ('read /var/tmp', '/var/tmp/secret', 'place'),
    ('read mail through a link', '/var/mail/user', 'place'),
    ('read a crash report', '/var/crash/secret', 'place'),
    ('read a core dump', '/var/lib/systemd/coredump/secret', 'place'),
    ('read the journal', '/var/log/journal/world/user-1000.journal', 'place'),
    ('read /run/user', '/run/user/1000/secret', 'place'),
    ('read removable media', '/run/media/user/secret', 'place'),
    ('read the runtime journal', '/run/log/journal/world/user-1000.journal', 'place'),
    ('read /media', '/media/secret', 'place'),
    ('read /mnt', '/mnt/secret', 'place'),
    ('read /dev/shm', '/dev/shm/secret', 'place'),
    ('read the account home', '/var/lib/account/secret', 'place'),
    ('read the account home through a mount of its parent', '/var/cache/lib/account/secret', 'place'),
    ('read a second procfs', '/var/cache/proc-view/self/status', 'place'),
    ('open a device through a second devtmpfs', '/var/cache/dev-view/kmsg', 'place'),
    ('open a terminal through a second devpts', '/var/cache/pts-view/ptmx', 'place'),
    ('read $HOME', '/var/users/me/secret', 'named'),
    ('read the source of a bound home', '/var/lib/source/me/secret', 'named'),
    ('read a mount of the home at a path with a blank', '/var/cache/mir ror/secret', 'named'),
    ('read a mount of a directory of the home', '/var/cache/keys/secret', 'named'),
    ('read the last of 300 mounts of the home', f'/var/cache/views/{"0" * 200}/300/secret', 'named'),
    ('read a mount of the home at a path longer than PATH_MAX',
     '/var/cache/deep/' + ''.join(f'{i:0200d}/' for i in range(1, 23)) + 'view/secret', 'named'),
    ('read $XDG_CONFIG_HOME', '/var/lib/xdg-config/secret', 'named'),
    ('read $XDG_RUNTIME_DIR', '/var/lib/xdg-run/secret', 'named'),
    ('read /var/lib', '/var/lib/world/system', None),
    ('read /run', '/run/world/system', None),
    ('read own process', '/proc/self/status', None),
    ('read the file systems', '/proc/filesystems', None),
    ('read random', '/dev/urandom', None),
]
WORLD_ENV = {'HOME': '/var/users/me', 'XDG_CONFIG_HOME': '/var/lib/xdg-config', 'XDG_RUNTIME_DIR': '/var/lib/xdg-run'}
# The same with the account's home, where a lookup finds the user's data
# when a variable is unusable; and the values that it may have instead.
SOUND_ENV = {'HOME': '/var/lib/account', 'XDG_CONFIG_HOME': '/var/lib/account/.config', 'XDG_RUNTIME_DIR': '/run/user/1000'}
BAD_VALUES = [('unset', None), ('empty', ''), ('relative', 'relative/dir'), ('/', '/'),
              ('a file', '/var/lib/world/file'), ('a dangling link', '/var/lib/dangling'),
              ('longer than PATH_MAX', '/' + 'x' * 4200)]

# Makes the world ($1: a directory of its own; $2: "cover" where the places
# are this machine's, to be covered in this mount namespace), with copies
# of the probe, the stand-in and refusing ($3 to $5), which it may cover;
# then runs the stand-in's lookup with each command of $6, a line each: its
# status, output and record. "@sweep COMMAND" runs the command for each
# Landlock ABI from 1 below the first run's, @ABI@ replaced by it.
WORLD_SCRIPT = r"""w=$1
cover() {
	for d in /home /root /run /media /mnt /dev/shm; do mount -t tmpfs tmpfs "$d"; done
	mkdir "$w/var" "$w/work"
	mount -t overlay overlay -o "lowerdir=/var,upperdir=$w/var,workdir=$w/work" /var
}
world() {
	set -e
	if [ "$2" != cover ]; then
		mkdir -p /var/home /root /run /media /mnt /dev/shm /dev/pts && ln -s var/home /home
		mount -t devpts devpts /dev/pts
	fi
	rm -rf /var/mail
	mkdir -p /var/spool/mail-link /var/lib/people/me '/var/cache/mir ror' /var/cache/keys /var/cache/lib
	ln -s spool/mail-link /var/mail
	ln -s lib/people /var/users
	ln -s /nonexistent /var/lib/dangling
	for f in @PLANTED@ /var/lib/source/me/.config/kioslaverc /var/lib/source/me/keys/secret /var/lib/xdg-config/kioslaverc \
		/var/lib/xdg-config/dconf/user /var/lib/world/file; do
		mkdir -p "${f%/*}" && echo secret >"$f"
	done
	mount --bind /var/lib/source/me /var/lib/people/me
	mount --bind /var/lib/people/me '/var/cache/mir ror'
	mount --bind /var/lib/people/me/keys /var/cache/keys
	mount --bind /var/lib /var/cache/lib
	# 300 more views of the home, at paths of some 220 bytes (64 KiB of
	# them), the last one far into mountinfo
	views=/var/cache/views/$(printf '%0200d' 0) i=1
	while [ "$i" -le 300 ]; do
		mkdir -p "$views/$i" && mount --bind /var/lib/people/me "$views/$i"
		i=$((i + 1))
	done
	# and one at a path longer than PATH_MAX, made a directory at a time
	mkdir /var/cache/deep
	(
		cd -P /var/cache/deep && i=1
		while [ "$i" -le 22 ]; do
			d=$(printf '%0200d' "$i") && mkdir "$d" && cd -P "$d" && i=$((i + 1))
		done
		mkdir view && mount --bind /var/lib/people/me view
	)
	mkdir -p /var/cache/proc-view /var/cache/dev-view /var/cache/pts-view
	mount -t proc proc /var/cache/proc-view
	mount -t devtmpfs devtmpfs /var/cache/dev-view
	mount -t devpts devpts /var/cache/pts-view
	sed 's#^\(root:[^:]*:0:0:[^:]*:\)[^:]*#\1/var/lib/account#' /etc/passwd >"$w/passwd"
	if [ "$2" = cover ]; then mount --bind "$w/passwd" /etc/passwd; else cp "$w/passwd" /etc/passwd; fi
	printf '%s\n' @READS@ >"$w/reads"
}
mkdir -p "$w"
cp "$3" "$w/proxisonde" && cp "$4" "$w/libproxy.so.1" && cp "$5" "$w/refusing" || exit 1
if [ "$2" = cover ] && ! said=$(cover 2>&1); then echo "-- no world: $said"; exit 0; fi
(world "$@") || exit 1
export LD_LIBRARY_PATH=$w PROXY_STUB=escape PROXY_STUB_READS=$w/reads
n=0
run() {
	n=$((n + 1))
	mkdir "$w/$n"
	echo "-- run $n"
	status=0
	export PROXY_STUB_DIR="$w/$n" PROXY_STUB_LOG="$w/$n/log"
	eval "$1" </dev/null >"$w/$n/out" 2>"$w/$n/err" || status=$?
	echo "status $status"
	sed 's/^/stdout: /' "$w/$n/out"
	sed 's/^/stderr: /' "$w/$n/err"
	tr -d '\000' <"$w/$n/log"
}
echo "$6" | while IFS= read -r command; do
	case $command in
	'@sweep '*)
		abi=$(tr -d '\000' <"$w/1/log" | sed -n 's/^kernel \([0-9]*\) .*/\1/p')
		i=1
		while [ "$i" -lt "${abi:-0}" ]; do
			run "$(echo "${command#@sweep }" | sed "s/@ABI@/$i/")"
			i=$((i + 1))
		done
		;;
	*) run "$command" ;;
	esac
done
"""


def world_script():
    planted = ' '.join(path for _, path, _ in WORLD if not path.startswith(('/proc', '/dev/u', '/var/users/',
                                                                            '/var/cache/')))
    reads = "' '".join(f'{name}\t{path}' for name, path, _ in WORLD)
    return WORLD_SCRIPT.replace('@PLANTED@', planted).replace('@READS@', f"'{reads}'")


def probe_command(env, wrapper=(), stdin=True):
    """A run of the world's probe: with env (None: a variable unset), in a
    wrapper, with its standard descriptors or all three closed."""
    words = ['env', *[f'-u{k}' for k, v in env.items() if v is None],
             *[f'{k}={v}' for k, v in env.items() if v is not None], *wrapper, '$w/proxisonde']
    return ' '.join(w if w.startswith('$') else shlex.quote(w) for w in words) + ('' if stdin else ' <&- >&- 2>&-')


# The world's runs, by name, command and whether WORLD_ENV names the
# world's own places: as the kernel is, then at each older Landlock ABI,
# then without seccomp at each; here also the settings found by $HOME, 0, 1 and 2 closed, a
# limit of 9 descriptors, and each bad value of each variable.
SWEEP = [('as the kernel is', probe_command(WORLD_ENV), True),
         ('at Landlock ABI', '@sweep ' + probe_command(WORLD_ENV, ('$w/refusing', 'landlock_abi=@ABI@', '--')), True),
         ('without seccomp', probe_command(WORLD_ENV, ('$w/refusing', f'seccomp={errno.ENOSYS}', '--')), True),
         ('without seccomp at Landlock ABI', '@sweep ' + probe_command(
             WORLD_ENV, ('$w/refusing', f'seccomp={errno.ENOSYS}', 'landlock_abi=@ABI@', '--')), True)]
HERE = SWEEP + [('the settings found by $HOME', probe_command(dict(WORLD_ENV, XDG_CONFIG_HOME=None)), False),
                ('standard descriptors closed', probe_command(WORLD_ENV, stdin=False), True),
                ('9 descriptors at most', f'(ulimit -n 9 && {probe_command(WORLD_ENV)})', True)] + [
    (f'{variable} {what}', probe_command(dict(SOUND_ENV, **{variable: value})), False)
    for variable in SOUND_ENV for what, value in BAD_VALUES]


def world_rows(named, settings):
    """The rows of a world run: the ways out, and the world's files."""
    # what outlives a run there holds the world's output, not one run's
    rows = [row for row in WAYS_OUT if (settings or row[0] != 'read settings') and row[0] != OUTLIVES] + (
        FLAG_FILE if named else [])
    return rows + [(name, 1, errno.EACCES) if whose else (name, None, 0) for name, _, whose in WORLD
                   if whose != 'named' or named]


def run_world(command, runs, paths):
    """Makes the world with command and runs the runs there: a reason where
    the world cannot be made here, and otherwise each run's problems by name."""
    p = subprocess.run([*command, 'sh', '-c', world_script(), 'sh', *paths, '\n'.join(r[1] for r in runs)],
                       capture_output=True, text=True, timeout=seconds(60 + 2 * len(runs)))
    if p.stdout.startswith('-- no world'):
        return p.stdout.strip()[len('-- no world: '):], {}
    outputs = [part.split('\n', 1)[-1].splitlines() for part in p.stdout.split('-- run ')[1:]]
    abi = kernel_offers(outputs[0])[0] if outputs else 0
    results = {} if abi else {'at Landlock ABI': ['the first run reported no Landlock ABI']}
    index = 0
    for name, command, named in runs:
        for this in ([f'{name} {i}' for i in range(1, abi)] if command.startswith('@sweep') else [name]):
            lines = outputs[index] if index < len(outputs) else []
            index += 1
            if 'status 0' not in lines:
                results[this] = [f'status {p.returncode}: {lines}; {p.stderr[-2000:]}']
                continue
            said = [ln for ln in lines if ln.startswith(('stdout: ', 'stderr: '))]
            read, rest = environment_read([ln for ln in lines if ln != 'status 0' and ln not in said])
            settings = named or 'settings' in this
            results[this] = said + read + ways_out(rest, data_limit_holds(), world_rows(named, settings))
    return None, results


def kernel_landlock():
    """The Landlock ABI of the kernel that runs the probe here (0: none)."""
    return max(0, ctypes.CDLL(None, use_errno=True).syscall(444, None, 0, 1))


def check_world(tap):
    """The world here, its runs grouped into cases: the sweep, and the bad
    values of each variable."""
    reason = None if kernel_landlock() else 'the kernel has no Landlock, and the world has nothing to check'
    reason = reason or sandbox_missing('backlight-sandbox')
    if not reason:
        with tempfile.TemporaryDirectory(dir='/tmp') as tmp:
            reason, results = run_world(namespaces('--mount', '--propagation', 'private'), HERE,
                                        (tmp + '/world', 'cover', PROBE, os.path.join(STUB_DIR, 'libproxy.so.1'),
                                         REFUSING))
    cases = [name for name, _, _ in HERE if not name.startswith(tuple(SOUND_ENV) + ('without seccomp at',))] + list(
        SOUND_ENV)
    for case in cases:
        if reason:
            tap.skip(f'world: {case}', reason)
        else:
            tap.check(f'world: {case}', [f'{name}: {problem}' for name, problems in results.items()
                                         if name.startswith(case) for problem in problems])


# GSettings read through dconf under the confinement, in each layout that
# dconf documents: a schema compiled into the system's schema directory (a
# tmpfs over it, and one over /etc/dconf, in this mount namespace), a value
# that dconf's service writes when the session bus starts it, or a system
# database holds, and the stand-in's lookup reading it, with each critical
# message fatal, under the probe and under the control. The layouts: the
# default profile with its flag file there, as a client made it, or
# missing, as the service leaves it after each change; the user's database
# under another name; a database that the service keeps in the runtime
# directory beside a keyfile; a system database and none of the user's;
# and the user's database saved anew, and its flag file removed, once the
# lookup has begun.
GSETTINGS = ('org.lumivar.proxisonde.test', 'autoconfig-url', 'http://wpad.test/proxy.pac')
GSETTINGS_LAYOUTS = [('the default profile, its flag file there', 'there'),
                     ('the default profile, its flag file missing', 'missing'),
                     ('another name', 'user-db:probe'), ('kept by the service', 'service-db:keyfile/probe'),
                     ('a system database alone', 'system-db:site'),
                     ('the database saved anew once the lookup has begun', 'renamed')]
GSETTINGS_SCRIPT = r"""set -e
tmp=$1 layout=$2 schemas=/usr/share/glib-2.0/schemas
mount -t tmpfs tmpfs "$schemas"
printf '<schemalist><schema id="%s" path="/%s/"><key name="%s" type="s"><default>""</default></key></schema></schemalist>' \
	"$3" "$(echo "$3" | tr . /)" "$4" >"$schemas/test.gschema.xml"
glib-compile-schemas "$schemas"
mount -t tmpfs tmpfs /etc/dconf
mkdir -m 0700 "$tmp/run" /etc/dconf/profile /etc/dconf/db
export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/run GSETTINGS_BACKEND=dconf DBUS_SESSION_BUS_ADDRESS=unix:path=$tmp/run/bus
unset XDG_CONFIG_HOME DCONF_PROFILE
case $layout in
system-db:*) printf 'user-db:user\n%s\n' "$layout" >/etc/dconf/profile/user ;;
*-db:*) echo "$layout" >/etc/dconf/profile/user ;;
esac
if [ "$layout" = system-db:site ]; then
	mkdir /etc/dconf/db/site.d
	printf "[%s]\n%s='%s'\n" "$(echo "$3" | tr . /)" "$4" "$5" >/etc/dconf/db/site.d/probe
	dconf compile /etc/dconf/db/site /etc/dconf/db/site.d
	set -- "$@" "$tmp/home/.config/dconf/user" "$tmp/run/dconf"
else
	dbus-daemon --session --fork --address="$DBUS_SESSION_BUS_ADDRESS" --print-pid >"$tmp/bus"
	trap 'kill "$(cat "$tmp/bus")"' EXIT
	value=$5
	[ "$layout" != renamed ] || value=before
	gsettings set "$3" "$4" "$value"
	gsettings get "$3" "$4" >/dev/null
	set -- "$@" "$tmp/run/dconf/user"
fi
case $layout in
missing | system-db:site) rm -rf "$7" "$8" ;;
renamed)
	db=$HOME/.config/dconf/user
	cp "$db" "$tmp/before" && gsettings set "$3" "$4" "$5" && mv "$db" "$tmp/after" && mv "$tmp/before" "$db"
	export PROXY_STUB_RENAME="$tmp/after $db $7 $tmp/flag-removed"
	;;
esac
G_DEBUG=fatal-criticals PROXY_STUB=gsettings PROXY_STUB_KEY="$3 $4" "$6"
"""


def gsettings_missing(layout):
    for tool in ('dbus-daemon', 'gsettings', 'glib-compile-schemas') + (('dconf',) if 'system' in layout else ()):
        if not shutil.which(tool):
            return f'no {tool} here'
    if not glob.glob('/usr/lib/*/gio/modules/libdconfsettings.so') + glob.glob('/usr/lib/gio/modules/libdconfsettings.so'):
        return 'no dconf backend for GSettings here'
    for directory in ('/usr/share/glib-2.0/schemas', '/etc/dconf'):
        if not os.path.isdir(directory):
            return f'no {directory} here'
    return sandbox_missing('backlight-sandbox')


def gsettings_read(layout):
    """The probe reads the value in the layout, silently, as the control does."""
    problems = []
    for program in (UNCONFINED, PROBE):
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, 'calls')
            env = dict(os.environ, LD_LIBRARY_PATH=STUB_DIR, PROXY_STUB_LOG=log)
            p = subprocess.run([*namespaces('--mount', '--propagation', 'private'), 'sh', '-c', GSETTINGS_SCRIPT,
                                'sh', tmp, layout, *GSETTINGS, program], capture_output=True, env=env,
                               timeout=seconds(10), stdin=subprocess.DEVNULL)
            with open(log, encoding='utf-8') as f:
                calls = f.read().rstrip('\0').splitlines()
        who = 'the control: ' if program == UNCONFINED else ''
        problems += [who + problem for problem in quiet_exit(p) + environment_read(calls)[0] + (
            [] if f'gsettings {GSETTINGS[2]}' in calls else [f'calls: {calls}'])]
    return problems


# The caller's stdout and stderr as desktops leave them: a session log
# that holds bytes, opened for appending or for writing at its end; pipes;
# /dev/null; closed. What the stand-in's lookup and its helper write there
# reaches them under the probe as under the control, and nothing dies.
DESCRIPTORS = [('stderr a session log opened for appending', 'stderr', 'a'),
               ('stderr a file that holds bytes', 'stderr', 'r+'),
               ('stdout a log opened for appending', 'stdout', 'a'), ('stdout a file that holds bytes', 'stdout', 'r+'),
               ('stdout and stderr pipes', None, 'pipe'), ('stdout and stderr /dev/null', None, 'null'),
               ('stdout and stderr closed', None, 'closed')]
CHATTER = ['wrote 1 0', 'wrote 2 0', 'helper 0']


def chatty(program, stream, how):
    """(the status, what the stand-in recorded, what reached the caller)."""
    with tempfile.TemporaryDirectory() as tmp:
        log, session = os.path.join(tmp, 'calls'), os.path.join(tmp, 'session.log')
        with open(session, 'w', encoding='utf-8') as f:
            f.write('earlier lines of the session\n')
        env = dict(os.environ, LD_LIBRARY_PATH=STUB_DIR, PROXY_STUB_LOG=log, PROXY_STUB='chatty')
        closed = ('sh', '-c', 'exec "$0" <&- >&- 2>&-') if how == 'closed' else ()
        sink = subprocess.DEVNULL if how in ('null', 'closed') else subprocess.PIPE
        with open(session, how if stream else 'r', encoding='utf-8') as f:
            f.seek(0, os.SEEK_END)
            p = subprocess.run([*closed, program], env=env, timeout=seconds(4), stdin=subprocess.DEVNULL,
                               **dict({'stdout': sink, 'stderr': sink}, **({stream: f} if stream else {})))
        with open(session, encoding='utf-8') as f:
            reached = (f.read(), p.stdout, p.stderr)
        with open(log, encoding='utf-8') as f:
            lines = environment_read(f.read().rstrip('\0').splitlines())[1]
    return p.returncode, lines, reached


def descriptors(stream, how):
    status, lines, reached = chatty(PROBE, stream, how)
    control_status, control_lines, control_reached = chatty(UNCONFINED, stream, how)
    problems = [f'status {status}, the control\'s {control_status}'] if status or control_status else []
    problems += [f'recorded: {lines}'] if [ln for ln in lines if ln in CHATTER] != CHATTER else []
    problems += full_lookup([ln for ln in lines if ln not in CHATTER])
    if how != 'closed' and [ln for ln in control_lines if ln in CHATTER] != CHATTER:
        problems.append(f'the control recorded: {control_lines}')
    return problems + ([f'reached {reached!r}, the control\'s {control_reached!r}'] if reached != control_reached else [])


# The kernel guest of the probe's target, by its ELF header, as
# tools/kernel-sandbox names it.
GUEST = {(62, 64, 'little'): 'x86_64', (3, 32, 'little'): 'i386', (183, 64, 'little'): 'aarch64',
         (40, 32, 'little'): 'armhf', (21, 64, 'little'): 'ppc64le', (22, 64, 'big'): 's390x'}.get(TARGET)


def guest_missing():
    """Why the probe cannot run in the kernel guest of its target here, or
    None: the guest's kernel, and its Landlock ABI, are the release's."""
    if not GUEST:
        return 'no kernel guest runs programs of this target'
    if SANITIZED:
        return 'a sanitizer runtime is not carried into the guest'
    p = subprocess.run([KERNEL_SANDBOX, '--arch', GUEST, '--missing'], capture_output=True, text=True)
    return p.stderr.strip() if p.returncode else None


def world_in_guest():
    """The world's sweep in the kernel guest of the probe's target."""
    stub = os.path.join(STUB_DIR, 'libproxy.so.1')
    command = [KERNEL_SANDBOX, '--with', PROBE, '--with', stub, '--with', REFUSING, '--arch', GUEST, '--']
    reason, results = run_world(command, SWEEP, ('/tmp/world', '', '/proxisonde', '/libproxy.so.1', '/refusing'))
    print(f'# guest: {", ".join(results)}', flush=True)
    return [reason] if reason else [f'{name}: {problem}' for name, problems in results.items() for problem in problems]


def full_lookup(calls):
    """Problems with calls unless they are new, get_proxies, free, with one factory and the probe URL."""
    words = [c.split(' ') for c in calls]
    if [w[0] for w in words] != ['new', 'get_proxies', 'free']:
        return [f'calls: {calls}']
    factory = words[0][1]
    problems = [] if factory != '(nil)' and words[1][1] == factory == words[2][1] else [f'not one factory: {calls}']
    if len(words[1]) != 3 or not URL.fullmatch(words[1][2]):
        problems.append(f'the URL is not scheme https and a host alone: {calls[1]}')
    return problems


STUB_CASES = [
    # name, stub mode, arguments, extra check of the calls
    ('one lookup, in order, with one factory', '', (), full_lookup),
    ('arguments change nothing', '', ('--help', '-v', '', 'https://example.org'), full_lookup),
    ('no factory: no lookup, no free', 'no-factory', (),
     lambda calls: [] if calls == ['new (nil)'] else [f'calls: {calls}']),
    ('no answer', 'no-answer', (), full_lookup),
]


def killed_lingering():
    """The caller's kill on its timeout ends the lookup, and the child that
    it started, with the probe."""
    problems, lines = with_stub('linger', (), kill_at=f'try {OUTLIVES}')
    problems = [pr for pr in problems if pr != f'status: {-signal.SIGKILL}']
    return problems + ([] if f'try {OUTLIVES} {-signal.SIGKILL}' in lines else [f'recorded: {lines}'])


# A caller may start the probe with signals blocked, as its own mask.
CRASHES = [('', ()), (', every signal blocked by its caller', (
    sys.executable, '-c', 'import os, signal, sys; signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals()); '
    'os.execv(sys.argv[1], sys.argv[1:])'))]


def crashed(wrap):
    """A failure inside the library ends the probe by a signal, as the
    caller sees it."""
    problems, _ = with_stub('crash', (), wrap)
    by_signal = [pr for pr in problems if pr.startswith('status: -')]
    # qemu-user reports the signal itself
    emulator = [pr for pr in problems if pr.startswith("stderr: b'qemu: uncaught target signal")]
    return [pr for pr in problems if pr not in by_signal + emulator] + ([] if by_signal else ['not ended by a signal'])


# A plain user's IDs, for a caller that is root.
PLAIN_USER = ('setpriv', '--reuid=65534', '--regid=65534', '--clear-groups')


def own_ids():
    """As a plain user, the lookup has the user's IDs and no capability,
    in a user namespace of its own where one is made."""
    wrap, uid, gid = (PLAIN_USER, 65534, 65534) if os.geteuid() == 0 else ((), os.getuid(), os.getgid())
    problems, lines = with_stub('ids', (), wrap)
    want = f'ids {uid} {gid} 0'
    return problems + ([] if want in lines else [f'recorded: {lines}, want {want!r}'])


def stub_case(mode, args, calls_ok, wrap=()):
    problems, calls = with_stub(mode, args, wrap)
    return problems + calls_ok(calls)


def check_stub(tap):
    for name, mode, args, calls_ok in STUB_CASES:
        tap.attempt(f'stub: {name}', lambda: stub_case(mode, args, calls_ok))
    faults_end = not PID_NAMESPACE or SANITIZED or fault_ends_first_process()
    for name, wrap in CRASHES:
        name = f'stub: a failure inside the library ends the probe by a signal{name}'
        if faults_end:
            tap.attempt(name, lambda: crashed(wrap))
        else:
            tap.skip(name, 'a fault does not end the first process of a PID namespace here (an emulator)')
    name = "stub: as a plain user, the lookup has the user's IDs and no capability"
    if os.geteuid() == 0 and subprocess.run([*PLAIN_USER, 'test', '-r', f'{STUB_DIR}/libproxy.so.1'],
                                            capture_output=True).returncode != 0:
        tap.skip(name, 'a plain user cannot run the probe on the stand-in here')
    else:
        tap.attempt(name, own_ids)
    name = "stub: the caller's kill ends the lookup and what it started"
    if PID_NAMESPACE and not SANITIZED:
        tap.attempt(name, killed_lingering)
    else:
        tap.skip(name, 'a sanitized build makes no PID namespace' if PID_NAMESPACE else
                 'no PID namespace can be made here, and what a lookup starts outlives the probe')
    name = 'a lookup taken over finds no way out'
    no_loopback = loopback_missing()
    if no_loopback:
        tap.skip(f'stub: {name}', no_loopback)
    else:
        tap.attempt(f'stub: {name}', no_way_out)
    name = 'stub: a kioslaverc saved anew once the lookup has begun is not read'
    if no_loopback:
        tap.skip(name, no_loopback)
    else:
        tap.attempt(name, lambda: no_way_out([('read settings', 1, errno.EACCES)]))
    # As in a build root without devpts: the terminal's row alone skips.
    name = 'stub: where no terminal can be made, the rest of the ways out are tried'
    reason = no_loopback or sandbox_missing('backlight-sandbox')
    if reason:
        tap.skip(name, reason)
    else:
        tap.attempt(name, lambda: no_way_out(wrap=(*namespaces('--mount', '--propagation', 'private'), 'sh', '-c',
                                                   'mount -t tmpfs tmpfs /dev/pts && exec "$@"', 'sh')))
    # As in a root without /proc: no view of a home can be told.
    name = 'stub: where the mounts cannot be read, no lookup runs'
    reason = sandbox_missing('backlight-sandbox') or (None if kernel_landlock() else 'the kernel has no Landlock') or (
        'a sanitizer runtime needs /proc' if SANITIZED else None)
    if reason:
        tap.skip(name, reason)
    else:
        tap.attempt(name, lambda: stub_case('', (), lambda calls: [f'calls: {calls}'] if calls else [], wrap=(
            *namespaces('--mount', '--propagation', 'private'), 'sh', '-c', 'mount -t tmpfs tmpfs /proc && exec "$@"',
            'sh')))
    for name, stream, how in DESCRIPTORS:
        tap.attempt(f'stub: {name}: every message reaches it', lambda: descriptors(stream, how))
    check_world(tap)
    for what, layout in GSETTINGS_LAYOUTS:
        name = f'stub: GSettings in dconf read silently, {what}'
        reason = gsettings_missing(layout)
        if reason:
            tap.skip(name, reason)
        else:
            tap.attempt(name, lambda: gsettings_read(layout))
    check_guest(tap)
    filters = subprocess.run([REFUSING, '--', sys.executable, '-c', ''], capture_output=True).returncode == 0
    reason = None if filters else 'a seccomp filter cannot be set here (an emulator takes none)'
    for what, calls, looks_up in FALLBACKS:
        name = f'stub: {what}: {"the lookup runs with the rest" if looks_up else "no lookup"}'
        why = reason or (looks_up and no_loopback) or (
            'the probe sets no seccomp filter on this machine' if 'seccomp' in calls and not FILTERED else None) or (
            'the sanitizer runtime stops at its start without prlimit64' if SANITIZED and 'prlimit64' in calls else None) or (
            'no user namespace with a PID namespace can be made here, or in a sanitized build' if 'capset' in calls and (
                SANITIZED or not USER_NAMESPACE) else None)
        if why:
            tap.skip(name, why)
        else:
            tap.attempt(name, lambda: fallback(calls, looks_up))
    name = f'stub: the answer and the factory are freed ({"LeakSanitizer" if SANITIZED else "valgrind"})'
    if SANITIZED or MEMCHECK:
        tap.attempt(name, lambda: stub_case('', (), full_lookup, VALGRIND if MEMCHECK else ()))
    else:
        tap.skip(name, NO_MEMCHECK)


def binding():
    dynsym = subprocess.run(['objdump', '-T', PROBE], capture_output=True, text=True, check=True).stdout
    # VERSION, then the symbol's other field where the target has one
    # (ppc64's local entry offset), then the name
    bound = sorted(re.findall(r'\((\S+)\)\s+(?:0x[0-9a-f]+\s+)?(px_\w+)$', dynsym, re.M))
    want = [('LIBPROXY_0.4.16', f'px_proxy_factory_{f}') for f in ('free', 'get_proxies', 'new')]
    return [] if bound == want else [f'bound: {bound}']


def check_real(tap):
    # Meson points LD_LIBRARY_PATH at the stub; these runs want the real library.
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARS + ('LD_LIBRARY_PATH',)}
    # The real library's leaks are judged under valgrind, whose suppressions
    # name whole call chains; LeakSanitizer's cannot tell the library's
    # leaks from a probe that keeps the answer.
    if SANITIZED:
        env['ASAN_OPTIONS'] = env.get('ASAN_OPTIONS', '') + ':detect_leaks=0'
    ns = namespaces('--net')
    # Without a sanitizer runtime, the real library runs under valgrind too:
    # the probe must add no error and no leak of its own to libproxy's work.
    memchecks = [((), '')] + ([(VALGRIND, ' (valgrind)')] if MEMCHECK else [])
    # name, what it runs in, its memory checker, what it runs, whether the
    # WPAD server must be asked and, but under valgrind, the script run
    # (None: no WPAD sandbox), and where libproxy finds its settings
    runs = [(f'real libproxy, no network, no proxy configured{how}', [*(ns or ()), *TIMEOUT], wrap, PROBE, None, 'env')
            for wrap, how in memchecks]
    runs += [(f'WPAD: the discovery request reaches the loopback server{how}', [], wrap, PROBE, True, 'env')
             for wrap, how in memchecks]
    runs += [('WPAD: no request without the probe', [], (), 'true', False, 'env'),
             ('WPAD: settings from a kioslaverc', [], (), PROBE, True, 'kioslaverc'),
             ('WPAD: a PAC URL in the environment', [], (), PROBE, True, 'pac'),
             ('WPAD: a session bus running', [], (), PROBE, True, 'bus'),
             ('WPAD: names resolved as desktops resolve them', [], (), PROBE, True, 'desktop names'),
             ("WPAD: a script among the user's files is not run", [], (), PROBE, False, 'file')]
    if not ns:
        for name, *_ in runs:
            tap.skip(name, 'no private network namespace here')
        tap.skip(ENDLESS, 'no private network namespace here')
        return
    no_wpad = sandbox_missing('wpad-sandbox')
    slow = MEMCHECK and lookup_too_slow(env, ns)
    for name, prefix, wrap, program, asked, settings in runs:
        reason = (asked is not None and no_wpad) or (wrap and slow) or SETTINGS_MISSING[settings](env)
        if reason:
            tap.skip(name, reason)
        else:
            tap.attempt(name, lambda: real_run(env, prefix, wrap, program, asked, settings))
    limitless = ('no data limit under AddressSanitizer, whose shadow memory is data too' if SANITIZED else
                 None if data_limit_holds() else 'no data limit holds here (qemu-user takes one and ignores it)')
    if no_wpad or limitless:
        tap.skip(ENDLESS, no_wpad or limitless)
    else:
        tap.attempt(ENDLESS, lambda: endless(env))
    if MEMCHECK:
        for keeps in ('answer', 'factory'):
            name = f'valgrind still reports a caller that keeps the {keeps}'
            if no_wpad or slow:
                tap.skip(name, no_wpad or slow)
            else:
                tap.attempt(name, lambda: still_reported(env, keeps))


def module_directory(env):
    """libproxy 0.4's module directory, or '' for 0.5, which has its
    modules built in."""
    libraries = subprocess.run(['ldd', PROBE], capture_output=True, text=True, env=env).stdout
    if 'libpxbackend' in libraries:
        return ''
    found = re.search(r'libproxy\.so\.1 => (\S+)', libraries)
    directories = found and glob.glob(os.path.join(os.path.dirname(os.path.realpath(found[1])), 'libproxy', '*',
                                                   'modules'))
    return directories[0] if directories else '/nonexistent'


def kconfig_module(env):
    """Where libproxy 0.4's kconfig module is, through which alone it reads
    a kioslaverc (and which runs kreadconfig5); '' for 0.5, which reads it
    itself; None where neither can."""
    directory = module_directory(env)
    module = os.path.join(directory, 'config_kde.so')
    return directory and (module if os.path.exists(module) and shutil.which('kreadconfig5') else None)


# A desktop's name sources, nss-mdns's and systemd's before DNS, whose unix
# sockets the probe cannot reach.
DESKTOP_HOSTS = 'files mdns4_minimal [NOTFOUND=return] resolve [!UNAVAIL=return] dns myhostname'
SETTINGS_MISSING = {
    'env': lambda env: None,
    'pac': lambda env: None,
    'file': lambda env: ('libproxy 0.4 runs no script without its JavaScriptCore module' if not script_runs(env, ()) else
                         None if kernel_landlock() else 'no Landlock here, which withholds the script'),
    'kioslaverc': lambda env: None if kconfig_module(env) is not None else (
        "libproxy 0.4 reads a kioslaverc through its kconfig module and kreadconfig5, and they are not here"),
    'bus': lambda env: None if shutil.which('dbus-daemon') else 'no dbus-daemon here',
    'desktop names': lambda env: next((f'no libnss_{m} here ({package})' for m, package in (
        ('mdns4_minimal', 'libnss-mdns'), ('resolve', 'libnss-resolve'), ('myhostname', 'libnss-myhostname'))
        if not glob.glob(f'/usr/lib/*/libnss_{m}.so.2') + glob.glob(f'/lib/*/libnss_{m}.so.2')), None),
}


def script_runs(env, wrap):
    """Whether a fetched script must run: where libproxy runs it with a
    runner of its own (0.5), or with its JavaScriptCore module (0.4), where
    a package of its has installed it, but under valgrind, where it takes a
    minute, and in a sanitizer build, where it crashes now and then."""
    directory = module_directory(env)
    return directory == '' or not (wrap or SANITIZED or not glob.glob(os.path.join(directory, 'pacrunner_*.so')))


def settings(tmp, where, env):
    """The WPAD sandbox's options and what the command is prefixed with so
    that libproxy finds its settings where: in the environment that the
    sandbox sets, or a PAC URL there; in a kioslaverc alone, which names
    the WPAD server's script, and for libproxy 0.4 its kconfig module; with
    a session bus running at XDG_RUNTIME_DIR/bus, which it may try; or with
    a desktop's name sources."""
    if where == 'kioslaverc':
        os.makedirs(f'{tmp}/home/.config')
        with open(f'{tmp}/home/.config/kioslaverc', 'w', encoding='utf-8') as f:
            f.write('[Proxy Settings]\nProxyType=2\nProxy Config Script=http://wpad/wpad.dat\n')
        module = kconfig_module(env)
        # What libproxy 0.4 and 0.5 look at before they read a kioslaverc.
        return (['--module', os.path.basename(module)[:-len('.so')]] if module else []), [
            'env', '-u', 'http_proxy', '-u', 'https_proxy', f'HOME={tmp}/home', 'KDE_FULL_SESSION=true',
            'XDG_CURRENT_DESKTOP=KDE']
    if where == 'pac':
        return [], ['env', 'http_proxy=pac+http://wpad/wpad.dat', 'https_proxy=pac+http://wpad/wpad.dat']
    if where == 'file':
        os.makedirs(f'{tmp}/home')
        with open(f'{tmp}/home/proxy.pac', 'w', encoding='utf-8') as f:
            f.write('function FindProxyForURL(url, host) {\n\tdnsResolve("script-ran.wpad.test");\n'
                    '\treturn "PROXY 127.0.0.1:3128";\n}\n')
        return [], ['env', f'http_proxy=pac+file://{tmp}/home/proxy.pac', f'https_proxy=pac+file://{tmp}/home/proxy.pac']
    if where == 'bus':
        return [], ['env', f'XDG_RUNTIME_DIR={tmp}/run', f'DBUS_SESSION_BUS_ADDRESS=unix:path={tmp}/run/bus']
    return (['--hosts', DESKTOP_HOSTS] if where == 'desktop names' else []), []


def lookup_too_slow(env, ns):
    """Why valgrind cannot check the real library here, or None: under an
    emulator it may check a small program in time and still take many
    minutes over one lookup, which takes a second or two on a fast machine."""
    try:
        subprocess.run([*ns, *VALGRIND, PROBE], capture_output=True, env=env, timeout=seconds(4))
    except subprocess.TimeoutExpired as e:
        return f'valgrind does not finish one real lookup within {e.timeout:.0f} s here'
    return None


def real_run(env, prefix, wrap, program, asked, where, fastest=None, pairs=3):
    """One run of program on the real library; asked: whether the WPAD
    server must be asked (None: no WPAD sandbox); where: where libproxy
    finds its settings. With a WPAD server, the probe's lookup is measured
    against the control's, made the same way: the same requests and names
    asked, no line printed that the control does not print, and an end
    within the control's time and a second, each program's fastest of up
    to three pairs (a busy machine slows a run, never speeds one up: a pair
    in which only the time fails is made again); a script among the user's
    files, the control runs and the probe does not."""
    problems, seen = real_run_retried(env, prefix, wrap, program, asked, where)
    if program != PROBE or asked is None:
        return problems + silent(seen[3])
    control_problems, control = real_run_retried(env, prefix, wrap, UNCONFINED, asked, where)
    problems += [f'the control: {problem}' for problem in control_problems]
    (requests, took, ran, p), (control_requests, control_took, control_ran, c) = seen, control
    if where == 'file':
        return problems + ([] if (ran, control_ran) == (False, True) else [f'the script ran: {ran}, {control_ran} in the control'])
    if requests != control_requests:
        problems.append(f'asked {requests}, the control {control_requests}')
    printed = [ln for ln in (p.stdout + p.stderr).splitlines() if ln not in (c.stdout + c.stderr).splitlines()]
    problems += [f'printed what the control does not: {printed}'] if printed else []
    if fastest:
        took, control_took = min(took, fastest[0]), min(control_took, fastest[1])
    slower = [f'took {took:.2f} s, the control {control_took:.2f} s'] if took > control_took + SLOWDOWN / 15 else []
    if slower and pairs > 1 and not problems:
        print(f'# {slower[0]}; another pair', flush=True)
        return real_run(env, prefix, wrap, program, asked, where, (took, control_took), pairs - 1)
    return problems + slower


def real_run_retried(env, prefix, wrap, program, asked, where):
    """A run's problems and what it did. libproxy 0.4's JavaScriptCore
    runner crashes, with any caller, as the factory is released: its
    library is unloaded while a thread of its still runs, and a machine
    busy starting processes lets that thread run first in about one lookup
    in 20. A run that ends so is made again, five times at most."""
    for _ in range(5):
        problems, crashed, seen = real_run_once(env, prefix, wrap, program, asked, where)
        if not crashed:
            break
        print(f'# the JavaScriptCore runner crashed: {problems}; again', flush=True)
    return problems, seen


def real_run_once(env, prefix, wrap, program, asked, where):
    """The run's problems, whether libproxy 0.4's script runner may have
    crashed it after the script ran, and what it did: the requests and
    names asked, its time, whether the script ran, and the process."""
    with tempfile.TemporaryDirectory() as tmp:
        log, vglog = os.path.join(tmp, 'requests'), os.path.join(tmp, 'valgrind')
        options, where_prefix = settings(tmp, where, env)
        command = [*where_prefix, *prefix, *memcheck(wrap, vglog), program]
        runs_script = script_runs(env, wrap)
        if asked is not None:
            command = [WPAD_SANDBOX, '--log', log, *(['--runner'] if runs_script else []), *options, '--', *TIMEOUT,
                       *command]
        bus = None
        if where == 'bus':
            os.mkdir(f'{tmp}/run', 0o700)
            bus = subprocess.Popen(['dbus-daemon', '--session', '--nofork', f'--address=unix:path={tmp}/run/bus',
                                    '--print-address'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
            bus.stdout.readline()  # listening
        try:
            start = time.monotonic()
            p = subprocess.run(command, capture_output=True, env=env)
            took = time.monotonic() - start
        finally:
            if bus:
                bus.kill()
                bus.wait()
        # No log at all: the sandbox failed before its server started.
        requests = open(log, encoding='utf-8').read() if asked is not None and os.path.exists(log) else ''
        problems = quiet_exit(p, vglog, output=False) + (
            [] if took < seconds(2) else [f'took {took:.1f} s'])
    ran = 'dns script-ran.wpad.test' in requests
    if asked is not None and (('"GET /wpad.dat HTTP/1.1" 200' in requests) != asked or (asked and runs_script and not ran)):
        problems.append(f'server log: {requests!r}')
    asked_for = sorted(re.findall(r'"[A-Z]+ \S+ HTTP/[0-9.]+" [0-9]+|^dns .*$', requests, re.M))
    crashed = runs_script and ran and module_directory(env) != '' and p.returncode == 128 + signal.SIGSEGV
    return problems, crashed, (asked_for, took, ran, p)


ENDLESS = 'WPAD: a script without end ends the probe within its data limit'
# Runs a command and prints its status and the most memory that it (or
# anything it started) held, in KiB.
MEASURED = ('import resource, subprocess, sys; status = subprocess.run(sys.argv[1:]).returncode; '
            'print(status, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)')


def endless(env):
    """The script never ends: libproxy 0.5 would read it until memory runs
    out, 0.4 stops at a bound of its own. The probe must end, however it
    ends, before its time runs out, having held less than 512 MiB."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, 'requests')
        start = time.monotonic()
        p = subprocess.run([WPAD_SANDBOX, '--log', log, '--endless', '--', sys.executable, '-c', MEASURED,
                            *TIMEOUT, PROBE], capture_output=True, text=True, env=env)
        took = time.monotonic() - start
        requests = open(log, encoding='utf-8').read() if os.path.exists(log) else ''
    status, held = (p.stdout.split() + ['?', '0'])[:2]
    problems = [] if took < seconds(2) and status not in ('124', '137', '?') else [f'status {status} after {took:.1f} s']
    if int(held) >= 512 * 1024:
        problems.append(f'held {int(held) // 1024} MiB')
    if '"GET /wpad.dat HTTP/1.1" 200' not in requests:
        problems.append(f'server log: {requests[:500]!r}')
    return problems + ([f'stderr: {p.stderr[-500:]}'] if problems else [])


def still_reported(env, keeps):
    """A caller that keeps the answer, or the factory, is still reported
    under the suppressions of libproxy's own leaks."""
    with tempfile.TemporaryDirectory() as tmp:
        log, vglog = os.path.join(tmp, 'requests'), os.path.join(tmp, 'valgrind')
        p = subprocess.run([WPAD_SANDBOX, '--log', log, '--', *TIMEOUT, *memcheck(VALGRIND, vglog),
                            UNCONFINED, keeps], capture_output=True, env=env)
        with open(vglog, encoding='utf-8', errors='replace') as f:
            report = f.read()
    found = p.returncode == 99 and 'definitely lost in loss record' in report
    return [] if found else [f'status {p.returncode}, valgrind:\n{report}']


def check_guest(tap):
    reason = guest_missing()
    name = 'world in the kernel guest: as the kernel is, at every older Landlock ABI, without seccomp'
    if reason:
        tap.skip(name, reason)
    else:
        tap.attempt(name, world_in_guest)


def main():
    tap = Tap()
    # A build for another target: its guest alone (the rest runs on a
    # machine of that target).
    if sys.argv[1:] == ['--guest']:
        check_guest(tap)
        tap.done()
        return
    if shutil.which('objdump'):
        tap.attempt('the three calls bind to LIBPROXY_0.4.16', binding)
    else:
        tap.skip('the three calls bind to LIBPROXY_0.4.16', 'no objdump (binutils) here')
    check_stub(tap)
    check_real(tap)
    tap.done()


main()
