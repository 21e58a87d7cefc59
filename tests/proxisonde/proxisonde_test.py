#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""proxisonde end to end: against a recording stand-in for libproxy, against
the real libproxy with no network, and with real WPAD on loopback. TAP."""
import ctypes
import os
import re
import shutil
import subprocess
import tempfile
import time

from helpers import Tap, namespaces, sandbox_missing, seconds, valgrind_runs

PROBE = os.environ['PROXISONDE']
LEAKY_PROBE = os.environ['LEAKY_PROBE']
STUB_DIR = os.environ['STUB_DIR']
WPAD_SANDBOX = os.path.join(os.environ['TOOLS'], 'wpad-sandbox')
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


def with_stub(mode, args, wrap=(), workdir=''):
    """Runs the probe on the stand-in: its problems, and the lines it recorded."""
    with tempfile.TemporaryDirectory() as tmp:
        log, vglog = os.path.join(tmp, 'calls'), os.path.join(tmp, 'valgrind')
        env = dict(os.environ, LD_LIBRARY_PATH=STUB_DIR, PROXY_STUB_LOG=log, PROXY_STUB=mode, PROXY_STUB_DIR=workdir)
        p = subprocess.run([*memcheck(wrap, vglog), PROBE, *args], capture_output=True, env=env, timeout=seconds(4))
        with open(log, encoding='utf-8') as f:
            return quiet_exit(p, vglog), f.read().splitlines()


def landlock_abi():
    """The Landlock ABI that this kernel offers, 0 where it offers none."""
    create_ruleset, version = 444, 1  # the same number on every architecture
    abi = ctypes.CDLL(None, use_errno=True).syscall(create_ruleset, None, ctypes.c_size_t(0), ctypes.c_uint(version))
    return max(abi, 0)


# What the stand-in's lookup finds in its directory: each file it tries to
# change, and what it must still hold afterwards (None: absent).
LAID_OUT = {'kept': 'kept', 'doomed': 'doomed', 'moved': 'moved', 'long': '0123456789'}
UNCHANGED = LAID_OUT | {'created': None, 'made': None, 'renamed': None}


def confined_writes(abi):
    """A lookup that tries to create, append, make a directory, remove,
    rename and truncate changes nothing, and can still read."""
    with tempfile.TemporaryDirectory() as work:
        for name, text in LAID_OUT.items():
            with open(os.path.join(work, name), 'w', encoding='utf-8') as f:
                f.write(text)
        problems, lines = with_stub('write', (), workdir=work)
        after = {}
        for name in UNCHANGED:
            path = os.path.join(work, name)
            after[name] = open(path, encoding='utf-8').read() if os.path.isfile(path) else (
                'a directory' if os.path.isdir(path) else None)
    want = dict(UNCHANGED)
    if abi < 3:  # truncating is a right of its own from ABI 3 on
        want['long'] = after['long']
    calls = [ln for ln in lines if not ln.startswith('try ')]
    problems += full_lookup(calls)
    problems += [f'{name}: holds {after[name]!r}, want {want[name]!r}' for name in want if after[name] != want[name]]
    if 'try read kept' not in lines:
        problems.append(f'the read failed: {lines}')
    return problems + ([f'attempts: {lines}'] if problems else [])


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
    name = 'stub: a lookup creates, appends, makes, removes, renames and truncates nothing, and reads'
    abi = landlock_abi()
    if abi:
        tap.attempt(f'{name} (Landlock ABI {abi})', lambda: confined_writes(abi))
    else:
        tap.skip(name, 'this kernel offers no Landlock')
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
    # WPAD server must be asked (None: no WPAD sandbox)
    runs = [(f'real libproxy, no network, no proxy configured{how}', [*(ns or ()), *TIMEOUT], wrap, PROBE, None)
            for wrap, how in memchecks]
    runs += [(f'WPAD: the discovery request reaches the loopback server{how}', [], wrap, PROBE, True)
             for wrap, how in memchecks]
    runs.append(('WPAD: no request without the probe', [], (), 'true', False))
    if not ns:
        for name, *_ in runs:
            tap.skip(name, 'no private network namespace here')
        return
    no_wpad = sandbox_missing('wpad-sandbox')
    slow = MEMCHECK and lookup_too_slow(env, ns)
    for name, prefix, wrap, program, asked in runs:
        reason = (asked is not None and no_wpad) or (wrap and slow)
        if reason:
            tap.skip(name, reason)
        else:
            tap.attempt(name, lambda: real_run(env, prefix, wrap, program, asked))
    if MEMCHECK:
        for keeps in ('answer', 'factory'):
            name = f'valgrind still reports a caller that keeps the {keeps}'
            if no_wpad or slow:
                tap.skip(name, no_wpad or slow)
            else:
                tap.attempt(name, lambda: still_reported(env, keeps))


def lookup_too_slow(env, ns):
    """Why valgrind cannot check the real library here, or None: under an
    emulator it may check a small program in time and still take many
    minutes over one lookup, which takes a second or two on a fast machine."""
    try:
        subprocess.run([*ns, *VALGRIND, PROBE], capture_output=True, env=env, timeout=seconds(4))
    except subprocess.TimeoutExpired as e:
        return f'valgrind does not finish one real lookup within {e.timeout:.0f} s here'
    return None


def real_run(env, prefix, wrap, program, asked):
    """One run of program on the real library; asked: whether the WPAD
    server must be asked (None: no WPAD sandbox)."""
    with tempfile.TemporaryDirectory() as tmp:
        log, vglog = os.path.join(tmp, 'requests'), os.path.join(tmp, 'valgrind')
        command = [*prefix, *memcheck(wrap, vglog), program]
        if asked is not None:
            command = [WPAD_SANDBOX, '--log', log, '--', *TIMEOUT, *command]
        start = time.monotonic()
        p = subprocess.run(command, capture_output=True, env=env)
        took = time.monotonic() - start
        # No log at all: the sandbox failed before its server started.
        requests = open(log, encoding='utf-8').read() if asked is not None and os.path.exists(log) else ''
        problems = quiet_exit(p, vglog) + ([] if took < seconds(2) else [f'took {took:.1f} s'])
    if asked is not None and ('"GET /wpad.dat HTTP/1.1" 200' in requests) != asked:
        problems.append(f'server log: {requests!r}')
    return problems


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
    tap.attempt('the three calls bind to LIBPROXY_0.4.16', binding)
    check_stub(tap)
    check_real(tap)
    tap.done()


main()
