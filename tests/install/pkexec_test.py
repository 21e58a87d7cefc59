#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""lumivar started through pkexec, authorised by a real polkitd reading the
installed action: an installed test, run against the installed lumivar and
action. Everything runs in private mount and PID namespaces inside the
backlight sandbox: a tmpfs on /run holds a private system bus
(system-bus.conf), polkitd is started by hand, and its action and rules
directories are temporary copies, the action the installed one. Output is
TAP."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from helpers import Tap, namespaces, sandbox_missing, seconds, skip_all
from lumivar_messages import not_found

HERE = os.path.dirname(os.path.abspath(__file__))
INSTALLED_LUMIVAR = os.environ['INSTALLED_LUMIVAR']
POLICYDIR = os.environ['POLICYDIR']
ACTION = 'org.lumivar.set-brightness'
DEVPATH = 'pci0000:00/0000:00:02.0/drm/card0/card0-eDP-1/intel_backlight'
DEVICE = '/sys/devices/' + DEVPATH
POLKITD = '/usr/lib/polkit-1/polkitd'


def host_state():
    listing = subprocess.run(['find', '/run/dbus', '/etc/polkit-1', '/usr/share/polkit-1',
                              os.path.dirname(INSTALLED_LUMIVAR), '-maxdepth', '2', '-printf', '%p %m %s %T@\n'],
                             capture_output=True, text=True).stdout
    return sorted(listing.splitlines())


def wait_for(ready, tries, pause):
    for _ in range(tries):
        if ready():
            return
        time.sleep(pause)


def inside(work):
    """PID 1 of a new PID namespace, in a private mount namespace: the
    checks, as (name, problems), into work/results."""
    def mount(*args):
        subprocess.run(['mount', *args], check=True)

    def run(user, *command):
        """(status, stdout, stderr) of the command as user. pkexec refuses to
        run for a process whose parent is PID 1, so each call goes through a
        shell of its own; it runs lumivar in /root with a minimal environment,
        so everything it is given is an absolute path."""
        become = () if user == 'root' else ('setpriv', f'--reuid={user}', f'--regid={user}', '--clear-groups')
        p = subprocess.run([*become, 'sh', '-c', '"$@"; exit $?', 'sh', *command], capture_output=True, text=True)
        return p.returncode, p.stdout, p.stderr

    def brightness():
        with open(DEVICE + '/brightness', encoding='utf-8') as f:
            return f.read()

    results = []

    def check(name, got, want):
        results.append((name, [] if got == want else [f'got {got!r}, want {want!r}']))

    mount('-t', 'tmpfs', '-o', 'mode=0755', 'run', '/run')
    os.mkdir('/run/dbus')
    log = open(os.path.join(work, 'daemons.log'), 'ab')
    bus = subprocess.Popen(['dbus-daemon', f'--config-file={HERE}/system-bus.conf', '--nofork', '--nopidfile'],
                           stderr=log)
    for d in ('actions', 'rules', 'no-rules'):
        os.mkdir(os.path.join(work, d))
    shutil.copy(f'{POLICYDIR}/org.lumivar.policy', f'{work}/actions/')
    shutil.copy(os.path.join(HERE, 'grant-nobody.rules'), f'{work}/rules/50-lumivar-test.rules')
    subprocess.run(['chmod', '-R', 'a+rX', f'{work}/actions', f'{work}/rules', f'{work}/no-rules'], check=True)
    mount('--bind', f'{work}/actions', '/usr/share/polkit-1/actions')
    mount('--bind', f'{work}/rules', '/etc/polkit-1/rules.d')
    mount('--bind', f'{work}/no-rules', '/usr/share/polkit-1/rules.d')

    wait_for(lambda: os.path.exists('/run/dbus/system_bus_socket'), 100, 0.05)
    polkit = subprocess.Popen([POLKITD, '--no-debug'], stdout=log, stderr=log)
    listed = ['pkaction', '--action-id', ACTION]
    wait_for(lambda: subprocess.run(listed, capture_output=True).returncode == 0, 100, 0.1)

    verbose = subprocess.run([*listed, '--verbose'], capture_output=True, text=True)
    check('pkaction lists the action with the installed exec.path',
          f'org.freedesktop.policykit.exec.path -> {INSTALLED_LUMIVAR}' in verbose.stdout + verbose.stderr, True)
    check('root: pkexec lumivar sets the brightness (status 0)',
          (*run('root', 'pkexec', INSTALLED_LUMIVAR, DEVICE, '120'), brightness()), (0, '', '', '120'))
    check("a user without a session is refused with pkexec's status 127",
          (*run('1', 'pkexec', INSTALLED_LUMIVAR, DEVICE, '350')[:2], brightness()), (127, '', '120'))
    check('a user granted by a rule sets the brightness (status 0)',
          (*run('65534', 'pkexec', INSTALLED_LUMIVAR, DEVICE, '350'), brightness()), (0, '', '', '350'))
    check("lumivar's status 1 and message come through pkexec",
          (*run('65534', 'pkexec', INSTALLED_LUMIVAR, '/sys/devices/none', '200'), brightness()),
          (1, '', not_found('/sys/devices/none'), '350'))

    for daemon in (polkit, bus):
        daemon.kill()
        daemon.wait()
    with open(os.path.join(work, 'results'), 'w', encoding='utf-8') as f:
        json.dump(results, f)


def setuid_takes_effect():
    """Whether pkexec's set-user-ID bit takes effect here: an emulator
    ignores it, and pkexec started by another user then says so."""
    p = subprocess.run(['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', 'pkexec',
                        '--disable-internal-agent', '/bin/true'],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=seconds(2))
    return 'must be setuid root' not in p.stderr


def run_inside(work):
    """Runs the checks inside the namespaces: their results, and what the
    sandbox said."""
    sandbox = subprocess.run([os.path.join(os.environ['TOOLS'], 'backlight-sandbox'), '--device',
                              f'{DEVPATH},raw,1200,', '--', 'unshare', '--pid', '--fork', '--mount-proc',
                              sys.executable, __file__, '--inside', work],
                             capture_output=True, text=True, timeout=seconds(8))
    if not os.path.exists(f'{work}/results'):
        return [], [f'status {sandbox.returncode}', sandbox.stdout, sandbox.stderr]
    with open(f'{work}/results', encoding='utf-8') as f:
        return json.load(f), []


def main():
    if os.getuid() != 0:
        skip_all('pkexec and polkitd need real root')
    for tool in ('pkexec', 'pkaction', 'dbus-daemon', POLKITD, INSTALLED_LUMIVAR):
        if not shutil.which(tool):
            skip_all(f'{tool} is not installed')
    if not os.path.exists(f'{POLICYDIR}/org.lumivar.policy'):
        skip_all(f'the action is not installed in {POLICYDIR}')
    reason = sandbox_missing('backlight-sandbox')
    if reason:
        skip_all(reason)
    if not namespaces('--mount', '--pid', '--fork', '--mount-proc'):
        skip_all('no private mount and PID namespaces')
    if not setuid_takes_effect():
        skip_all("pkexec's set-user-ID bit takes no effect here")
    tap = Tap()
    before = host_state()
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)  # polkitd reads its copies here as its own user
        try:
            results, died = run_inside(work)
        except Exception as e:  # the checks that did not run fail below
            results, died = [], [f'{type(e).__name__}: {e}']
        for name, problems in results:
            tap.check(name, problems)
        if any(problems for _, problems in results):
            with open(f'{work}/daemons.log', encoding='utf-8', errors='replace') as f:
                print('# daemons:\n# ' + f.read().replace('\n', '\n# '), flush=True)
        # The inside writes its results after its last check: without them, it died early.
        tap.check('every check inside the namespaces ran', died)
    tap.check("the host's /run/dbus, polkit directories and lumivar's directory are unchanged",
              [] if host_state() == before else ['they changed'])
    tap.done()


if sys.argv[1:2] == ['--inside']:
    inside(sys.argv[2])
else:
    main()
