#!/usr/bin/env python3
"""proxisonde end to end: against a recording stand-in for libproxy, against
the real libproxy with no network, and with real WPAD on loopback. TAP."""
import os
import re
import subprocess
import tempfile
import time

from tap import Tap

PROBE = os.environ['PROXISONDE']
STUB_DIR = os.environ['STUB_DIR']
WPAD_SANDBOX = os.environ['WPAD_SANDBOX']
SANITIZED = os.environ.get('SANITIZED')

URL = re.compile(r'https://[a-z0-9-]+(\.[a-z0-9-]+)+')
PROXY_VARS = ('http_proxy', 'https_proxy', 'all_proxy', 'no_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'ALL_PROXY', 'NO_PROXY')
VALGRIND = ('valgrind', '-q', '--leak-check=full', '--errors-for-leak-kinds=all', '--error-exitcode=99')


def quiet_exit(p):
    """The probe's whole answer: status 0 and no output."""
    return [f'{what}: {got!r}' for what, got, ok in
            (('status', p.returncode, p.returncode == 0), ('stdout', p.stdout, not p.stdout),
             ('stderr', p.stderr, not p.stderr)) if not ok]


def with_stub(mode, args, wrap=()):
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, 'calls')
        env = dict(os.environ, LD_LIBRARY_PATH=STUB_DIR, PROXY_STUB_LOG=log, PROXY_STUB=mode)
        p = subprocess.run([*wrap, PROBE, *args], capture_output=True, env=env, timeout=60)
        with open(log, encoding='utf-8') as f:
            return p, f.read().splitlines()


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


def check_stub(tap):
    for name, mode, args, calls_ok in STUB_CASES:
        p, calls = with_stub(mode, args)
        tap.check(f'stub: {name}', quiet_exit(p) + calls_ok(calls))
    # A sanitized build checks leaks itself, and cannot run under valgrind.
    p, calls = with_stub('', (), () if SANITIZED else VALGRIND)
    tap.check(f'stub: the answer is freed, strings and array ({"LeakSanitizer" if SANITIZED else "valgrind"})',
              quiet_exit(p) + full_lookup(calls))


def check_binding(tap):
    dynsym = subprocess.run(['objdump', '-T', PROBE], capture_output=True, text=True, check=True).stdout
    bound = sorted(re.findall(r'\((\S+)\)\s+(px_\w+)$', dynsym, re.M))
    want = [('LIBPROXY_0.4.16', f'px_proxy_factory_{f}') for f in ('free', 'get_proxies', 'new')]
    tap.check('the three calls bind to LIBPROXY_0.4.16', [] if bound == want else [f'bound: {bound}'])


def check_real(tap):
    # Meson points LD_LIBRARY_PATH at the stub; these runs want the real library.
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARS + ('LD_LIBRARY_PATH',)}
    ns = ['unshare', '--net'] if os.getuid() == 0 else ['unshare', '--user', '--map-root-user', '--net']
    # Without a sanitizer runtime, the real library runs under valgrind too:
    # the probe must add no error and no leak of its own to libproxy's work.
    memchecks = [((), '')] if SANITIZED else [((), ''), (VALGRIND, ' (valgrind)')]
    runs = [(f'real libproxy, no network, no proxy configured{how}', [*ns, 'timeout', '30', *wrap, PROBE], None)
            for wrap, how in memchecks]
    runs += [(f'WPAD: the discovery request reaches the loopback server{how}', [*wrap, PROBE], True)
             for wrap, how in memchecks]
    runs.append(('WPAD: no request without the probe', ['true'], False))
    if subprocess.run([*ns, 'true'], capture_output=True).returncode != 0:
        for name, _, _ in runs:
            tap.skip(name, 'no private network namespace here')
        return
    for name, command, asked in runs:
        with tempfile.TemporaryDirectory() as tmp:
            log = os.path.join(tmp, 'requests')
            if asked is not None:
                command = [WPAD_SANDBOX, '--log', log, '--', 'timeout', '30', *command]
            start = time.monotonic()
            p = subprocess.run(command, capture_output=True, env=env)
            took = time.monotonic() - start
            requests = open(log, encoding='utf-8').read() if asked is not None else ''
        problems = quiet_exit(p) + ([] if took < 20 else [f'took {took:.1f} s'])
        if asked is not None and ('"GET /wpad.dat HTTP/1.1" 200' in requests) != asked:
            problems.append(f'server log: {requests!r}')
        tap.check(name, problems)


def main():
    tap = Tap()
    check_binding(tap)
    check_stub(tap)
    check_real(tap)
    tap.done()


main()
