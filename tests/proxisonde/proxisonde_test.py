#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""proxisonde end to end: against a recording stand-in for libproxy, here
and in the x86-64 kernel guest; against the real libproxy with no network;
and with real WPAD on loopback. TAP."""
import errno
import glob
import os
import platform
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from helpers import Tap, namespaces, sandbox_missing, seconds, valgrind_runs

PROBE = os.environ['PROXISONDE']
LEAKY_PROBE = os.environ['LEAKY_PROBE']
REFUSING = os.environ['REFUSING']
STUB_DIR = os.environ['STUB_DIR']
WPAD_SANDBOX = os.path.join(os.environ['TOOLS'], 'wpad-sandbox')
KERNEL_SANDBOX = os.path.join(os.environ['TOOLS'], 'kernel-sandbox')
SANITIZED = os.environ.get('SANITIZED')

URL = re.compile(r'https://[a-z0-9-]+(\.[a-z0-9-]+)+')
PROXY_VARS = ('http_proxy', 'https_proxy', 'all_proxy', 'no_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'ALL_PROXY', 'NO_PROXY')
# A sanitized build checks memory itself, and cannot run under valgrind.
NO_MEMCHECK = ('a sanitized build checks memory itself' if SANITIZED else
               'no valgrind here' if not shutil.which('valgrind') else valgrind_runs('valgrind'))
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


def quiet_exit(p, log=None):
    """The probe's whole answer: status 0 and no output; and valgrind's log when it found errors."""
    problems = [f'{what}: {got!r}' for what, got, ok in
                (('status', p.returncode, p.returncode == 0), ('stdout', p.stdout, not p.stdout),
                 ('stderr', p.stderr, not p.stderr)) if not ok]
    if log and p.returncode == 99 and os.path.exists(log):
        with open(log, encoding='utf-8', errors='replace') as f:
            problems.append('valgrind:\n' + f.read())
    return problems


def memcheck(wrap, log):
    """The wrapper with valgrind's log sent to log."""
    return (*wrap, f'--log-file={log}') if wrap[:1] == ('valgrind',) else wrap


def with_stub(mode, args, wrap=(), work=None):
    """Runs the probe on the stand-in: its problems, and the lines it
    recorded. A lookup that tries the ways out works in the directory
    work, which is also where HOME and XDG_RUNTIME_DIR are."""
    with tempfile.TemporaryDirectory() as tmp:
        log, vglog = os.path.join(tmp, 'calls'), os.path.join(tmp, 'valgrind')
        env = dict(os.environ, LD_LIBRARY_PATH=STUB_DIR, PROXY_STUB_LOG=log, PROXY_STUB=mode)
        if work:
            env |= {'PROXY_STUB_DIR': work, 'HOME': f'{work}/home', 'XDG_RUNTIME_DIR': f'{work}/run'}
            env.pop('XDG_CONFIG_HOME', None)
        p = subprocess.run([*memcheck(wrap, vglog), PROBE, *args], capture_output=True, env=env, timeout=seconds(4))
        with open(log, encoding='utf-8') as f:
            problems, lines = environment_read(f.read().rstrip('\0').splitlines())
    return quiet_exit(p, vglog) + problems, lines


# What the probe may read of its environment: where the user's data are.
ENVIRONMENT = {'HOME', 'XDG_CONFIG_HOME', 'XDG_RUNTIME_DIR'}


def environment_read(lines):
    """(problems with what the probe read of its environment, the other lines)."""
    read = {ln[len('getenv '):] for ln in lines if ln.startswith('getenv ')}
    problems = [f'the probe read {sorted(read - ENVIRONMENT)}'] if read - ENVIRONMENT else []
    return problems, [ln for ln in lines if not ln.startswith('getenv ')]


# Each way out that the stand-in's lookup tries, as a script that took over
# libproxy's engine would, and what refuses it, with which error: the
# Landlock ABI that brings the refusal; 'closed', the descriptors the probe
# closes; 'seccomp', its filter, where the kernel has seccomp filters;
# 'socket', the filter too, where the C library makes sockets with socket(2)
# itself; 'limit', the data limit, where the kernel holds one; or None, what
# must stay open.
WAYS_OUT = [
    ('descriptor', 'closed', errno.EBADF),
    ('create', 1, errno.EACCES),
    ('append', 1, errno.EACCES),
    ('mkdir', 1, errno.EACCES),
    ('remove', 1, errno.EACCES),
    ('rename', 1, errno.EACCES),
    ('truncate', 3, errno.EACCES),
    ('chmod', 'seccomp', errno.EPERM),
    ('chown', 'seccomp', errno.EPERM),
    ('utimes', 'seccomp', errno.EPERM),
    ('setxattr', 'seccomp', errno.EPERM),
    ('io_uring', 'seccomp', errno.EPERM),
    ('read temporary', 1, errno.EACCES),
    ('read key', 1, errno.EACCES),
    ('read settings', None, 0),
    ('read system', None, 0),
    ('read caller', 1, errno.EACCES),
    ('signal caller', 6, errno.EPERM),
    ('abstract socket', 'socket', errno.EPERM),
    ('abstract socket', 6, errno.EPERM),
    ('session bus', 'socket', errno.EPERM),
    ('session bus', 9, errno.EACCES),
    ('listen', 4, errno.EACCES),
    ('connect', None, 0),
    ('device ioctl', 5, errno.EACCES),
    ('memory', 'limit', errno.ENOMEM),
]
def elf_target(path):
    """The ELF machine number of a program, its word size and byte order."""
    with open(path, 'rb') as f:
        head = f.read(20)
    order = 'little' if head[5] == 1 else 'big'
    return int.from_bytes(head[18:20], order), 64 if head[4] == 2 else 32, order


# The targets whose system calls the probe's filter knows, by the probe's
# ELF header (an emulator may report its host's machine): x86-64 (not its
# x32 ABI), i386, aarch64 and arm little-endian, ppc64, riscv64, s390x,
# loongarch64. Of them, i386's and s390x's C libraries make sockets through
# socketcall(2).
TARGET = elf_target(PROBE)
FILTERED = TARGET in {(62, 64, 'little'), (3, 32, 'little'), (183, 64, 'little'), (40, 32, 'little'),
                      (21, 64, 'little'), (21, 64, 'big'), (243, 64, 'little'), (22, 64, 'big'), (258, 64, 'little')}
SOCKETCALL = TARGET in {(3, 32, 'little'), (22, 64, 'big')}


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


def ways_out(lines, limit_holds):
    """Problems with the ways out that the stand-in recorded: each refused
    with its error where this kernel has what refuses it (the first such of
    its rows), each that must stay open open; the lookup itself whole."""
    abi, seccomp = kernel_offers(lines)
    holds = {'closed': True, 'seccomp': seccomp and FILTERED, 'socket': seccomp and FILTERED and not SOCKETCALL,
             'limit': limit_holds and not SANITIZED}
    tried = dict(ln[len('try '):].rsplit(' ', 1) for ln in lines if ln.startswith('try '))
    want = {}
    for name, by, err in WAYS_OUT:
        if by is None:
            want[name] = 0
        elif name not in want and (holds[by] if isinstance(by, str) else abi >= by):
            want[name] = err
    problems = [f'{name}: {describe(int(tried.get(name, -1)))}, want {describe(err)}'
                for name, err in want.items() if int(tried.get(name, -1)) != err]
    problems += full_lookup([ln for ln in lines if not ln.startswith(('try ', 'kernel '))])
    return problems + ([f'recorded: {lines}'] if problems else [])


def describe(err):
    return {0: 'done', -1: 'not tried'}.get(err) or f'{errno.errorcode.get(err, err)}'


# What the files of the stand-in's directory must hold after the lookup
# (None: absent), where Landlock refuses writes.
UNCHANGED = {'kept': 'kept', 'doomed': 'doomed', 'moved': 'moved', 'long': '0123456789', 'left-open': '',
             'created': None, 'made': None, 'renamed': None}


def no_way_out():
    """The stand-in's lookup tries every way out; the files stay as they were."""
    with tempfile.TemporaryDirectory(dir='/tmp') as work:
        problems, lines = with_stub('escape', (), work=work)
        after = {}
        for name in UNCHANGED:
            path = os.path.join(work, name)
            after[name] = open(path, encoding='utf-8').read() if os.path.isfile(path) else (
                'a directory' if os.path.isdir(path) else None)
    abi, _ = kernel_offers(lines)
    want = dict(UNCHANGED, **({'long': after['long']} if abi < 3 else {}))
    if abi:
        problems += [f'{name}: holds {after[name]!r}, want {want[name]!r}' for name in want if after[name] != want[name]]
    return problems + ways_out(lines, data_limit_holds())


# Where the kernel lacks a part of the confinement, or has it and refuses
# it: the calls that answer with an error, and whether the lookup runs then,
# with what remains of the confinement.
FALLBACKS = [
    ('no Landlock in the kernel', {'landlock_create_ruleset': errno.ENOSYS}, True),
    ('Landlock not among the security modules', {'landlock_create_ruleset': errno.EOPNOTSUPP}, True),
    ('Landlock refused', {'landlock_restrict_self': errno.EPERM}, False),
    ('no seccomp in the kernel', {'seccomp': errno.ENOSYS}, True),
    ('the filter refused', {'seccomp': errno.EINVAL}, False),
    ('the data limit refused', {'prlimit64': errno.EPERM}, False),
    ('no_new_privs refused', {'prctl': errno.EINVAL}, False),
    ('no close_range (before Linux 5.9)', {'close_range': errno.ENOSYS}, True),
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
    return problems + ways_out(lines, data_limit_holds())


# In the guest: the stand-in as /libproxy.so.1, its directory in /tmp; once
# as the kernel is, once as if it had no seccomp, where Landlock alone
# refuses what the filter would.
GUEST_RUN = f'''export LD_LIBRARY_PATH=/ PROXY_STUB=escape
for run in 1 2; do
	mkdir -p /tmp/$run
	[ $run = 1 ] && refusing= || refusing="/refusing seccomp={errno.ENOSYS} --"
	HOME=/tmp/$run/home XDG_RUNTIME_DIR=/tmp/$run/run PROXY_STUB_DIR=/tmp/$run PROXY_STUB_LOG=/tmp/$run/log \\
		$refusing /proxisonde
	echo "status $?"
	tr -d "\\000" </tmp/$run/log
	echo "-- run $run"
done
'''


def guest_missing():
    """Why the probe cannot run in the kernel guest here, or None: it runs in
    the x86-64 guest, whose kernel's Landlock ABI may be another than this
    machine's."""
    if TARGET != (62, 64, 'little') or platform.machine() != 'x86_64':
        return 'the probe runs in the x86-64 guest alone'
    if SANITIZED:
        return 'a sanitizer runtime is not carried into the guest'
    p = subprocess.run([KERNEL_SANDBOX, '--arch', 'x86_64', '--missing'], capture_output=True, text=True)
    return p.stderr.strip() if p.returncode else None


def no_way_out_in_guest():
    p = subprocess.run([KERNEL_SANDBOX, '--with', PROBE, '--with', os.path.join(STUB_DIR, 'libproxy.so.1'),
                        '--with', REFUSING, '--arch', 'x86_64', '--', 'sh', '-c', GUEST_RUN],
                       capture_output=True, text=True, timeout=seconds(60))
    kernel = re.search(r'kernel (\S+),', p.stderr)
    runs = p.stdout.split('-- run ')
    problems = []
    for name, lines in (('', runs[0].splitlines()), (' without seccomp', runs[1:2] and runs[1].splitlines()[1:])):
        if 'status 0' not in lines:
            return [f'status {p.returncode}: {p.stdout}{p.stderr}']
        print(f'# guest{name}: Linux {kernel and kernel[1]}, Landlock ABI {kernel_offers(lines)[0]}', flush=True)
        read, lines = environment_read([ln for ln in lines if ln != 'status 0'])
        problems += [f'{name.strip() or "as it is"}: {problem}' for problem in read + ways_out(lines, True)]
    return problems


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


def stub_case(mode, args, calls_ok, wrap=()):
    problems, calls = with_stub(mode, args, wrap)
    return problems + calls_ok(calls)


def check_stub(tap):
    for name, mode, args, calls_ok in STUB_CASES:
        tap.attempt(f'stub: {name}', lambda: stub_case(mode, args, calls_ok))
    name = 'a lookup taken over finds no way out'
    no_loopback = loopback_missing()
    if no_loopback:
        tap.skip(f'stub: {name}', no_loopback)
    else:
        tap.attempt(f'stub: {name}', no_way_out)
    reason = guest_missing()
    if reason:
        tap.skip(f'stub in the kernel guest: {name}', reason)
    else:
        tap.attempt(f'stub in the kernel guest: {name}', no_way_out_in_guest)
    filters = subprocess.run([REFUSING, '--', sys.executable, '-c', ''], capture_output=True).returncode == 0
    reason = None if filters else 'a seccomp filter cannot be set here (an emulator takes none)'
    for what, calls, looks_up in FALLBACKS:
        name = f'stub: {what}: {"the lookup runs with the rest" if looks_up else "no lookup"}'
        why = reason or (looks_up and no_loopback) or (
            'the probe sets no seccomp filter on this machine' if 'seccomp' in calls and not FILTERED else None) or (
            'the sanitizer runtime stops at its start without prlimit64' if SANITIZED and 'prlimit64' in calls else None)
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
    # WPAD server must be asked (None: no WPAD sandbox), and where libproxy
    # finds its settings
    runs = [(f'real libproxy, no network, no proxy configured{how}', [*(ns or ()), *TIMEOUT], wrap, PROBE, None, 'env')
            for wrap, how in memchecks]
    runs += [(f'WPAD: the discovery request reaches the loopback server{how}', [], wrap, PROBE, True, 'env')
             for wrap, how in memchecks]
    runs += [('WPAD: no request without the probe', [], (), 'true', False, 'env'),
             ('WPAD: settings from a kioslaverc', [], (), PROBE, True, 'kioslaverc'),
             ('WPAD: a session bus running', [], (), PROBE, True, 'bus')]
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


def kconfig_module(env):
    """Where libproxy 0.4's kconfig module is, through which alone it reads
    a kioslaverc (and which runs kreadconfig5); '' for 0.5, which reads it
    itself; None where neither can."""
    libraries = subprocess.run(['ldd', PROBE], capture_output=True, text=True, env=env).stdout
    if 'libpxbackend' in libraries:
        return ''
    found = re.search(r'libproxy\.so\.1 => (\S+)', libraries)
    modules = found and glob.glob(os.path.join(os.path.dirname(os.path.realpath(found[1])), 'libproxy', '*',
                                               'modules', 'config_kde.so'))
    return modules[0] if modules and shutil.which('kreadconfig5') else None


SETTINGS_MISSING = {
    'env': lambda env: None,
    'kioslaverc': lambda env: None if kconfig_module(env) is not None else (
        "libproxy 0.4 reads a kioslaverc through its kconfig module and kreadconfig5, and they are not here"),
    'bus': lambda env: None if shutil.which('dbus-daemon') else 'no dbus-daemon here',
}


def settings(tmp, where, env):
    """What the command is prefixed with so that libproxy finds its settings
    where: in the environment that the WPAD sandbox sets; in a kioslaverc
    alone, which names the WPAD server's script; or in that environment
    with a session bus running at XDG_RUNTIME_DIR/bus, which it may try.
    libproxy 0.4 loads its kconfig module alone there: in the sandbox's
    mount namespace a tmpfs over its module directory holds that module
    alone (its JavaScriptCore runner, where installed, crashes now and then
    when the factory is freed, with any caller)."""
    if where == 'kioslaverc':
        os.makedirs(f'{tmp}/home/.config')
        with open(f'{tmp}/home/.config/kioslaverc', 'w', encoding='utf-8') as f:
            f.write('[Proxy Settings]\nProxyType=2\nProxy Config Script=http://wpad/wpad.dat\n')
        module = kconfig_module(env)
        alone = ()
        if module:
            shutil.copy(module, tmp)
            alone = ('sh', '-c', 'mount -t tmpfs tmpfs "${1%/*}" && cp "$2" "$1" && shift 2 && exec "$@"', 'sh',
                     module, os.path.join(tmp, os.path.basename(module)))
        # What libproxy 0.4 and 0.5 look at before they read a kioslaverc.
        return [*alone, 'env', '-u', 'http_proxy', '-u', 'https_proxy', '-u', 'PX_MODULE_PATH', f'HOME={tmp}/home',
                'KDE_FULL_SESSION=true', 'XDG_CURRENT_DESKTOP=KDE']
    if where == 'bus':
        return ['env', f'XDG_RUNTIME_DIR={tmp}/run', f'DBUS_SESSION_BUS_ADDRESS=unix:path={tmp}/run/bus']
    return []


def lookup_too_slow(env, ns):
    """Why valgrind cannot check the real library here, or None: under an
    emulator it may check a small program in time and still take many
    minutes over one lookup, which takes a second or two on a fast machine."""
    try:
        subprocess.run([*ns, *VALGRIND, PROBE], capture_output=True, env=env, timeout=seconds(4))
    except subprocess.TimeoutExpired as e:
        return f'valgrind does not finish one real lookup within {e.timeout:.0f} s here'
    return None


def real_run(env, prefix, wrap, program, asked, where):
    """One run of program on the real library; asked: whether the WPAD
    server must be asked (None: no WPAD sandbox); where: where libproxy
    finds its settings."""
    with tempfile.TemporaryDirectory() as tmp:
        log, vglog = os.path.join(tmp, 'requests'), os.path.join(tmp, 'valgrind')
        command = [*settings(tmp, where, env), *prefix, *memcheck(wrap, vglog), program]
        if asked is not None:
            command = [WPAD_SANDBOX, '--log', log, '--', *TIMEOUT, *command]
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
        problems = quiet_exit(p, vglog) + ([] if took < seconds(2) else [f'took {took:.1f} s'])
    if asked is not None and ('"GET /wpad.dat HTTP/1.1" 200' in requests) != asked:
        problems.append(f'server log: {requests!r}')
    return problems


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
                            LEAKY_PROBE, *(() if keeps == 'answer' else (keeps,))], capture_output=True, env=env)
        with open(vglog, encoding='utf-8', errors='replace') as f:
            report = f.read()
    found = p.returncode == 99 and 'definitely lost in loss record' in report
    return [] if found else [f'status {p.returncode}, valgrind:\n{report}']


def main():
    tap = Tap()
    if shutil.which('objdump'):
        tap.attempt('the three calls bind to LIBPROXY_0.4.16', binding)
    else:
        tap.skip('the three calls bind to LIBPROXY_0.4.16', 'no objdump (binutils) here')
    check_stub(tap)
    check_real(tap)
    tap.done()


main()
