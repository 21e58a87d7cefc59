# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""What every test driver shares: a few lines of TAP, which Meson reads case
by case, the time limits, and the probes for what a test needs."""
import os
import shutil
import subprocess
import sys

# A time limit is what a step needs on a fast machine with room to spare,
# times SLOWDOWN: by default room for a board or an emulator 15 times slower.
# TEST_SLOWDOWN sets another factor; meson test's --timeout-multiplier is
# the same for a whole test.
SLOWDOWN = float(os.environ.get('TEST_SLOWDOWN') or 15)


def seconds(fast):
    return fast * SLOWDOWN


def namespaces(*flags):
    """The unshare command that makes the named namespaces here (through a
    user namespace when not root), or None where they cannot be made. A
    test skips only for that: a sandbox that fails for any other reason
    fails its cases."""
    user = () if os.getuid() == 0 else ('--user', '--map-root-user')
    command = ['unshare', *user, *flags]
    return command if subprocess.run([*command, 'true'], capture_output=True).returncode == 0 else None


# What each sandbox of tools/ makes, and the commands it runs besides
# unshare and the shell.
SANDBOXES = {
    'backlight-sandbox': (('--mount', '--propagation', 'private'), ('mount',)),
    'wpad-sandbox': (('--net', '--mount', '--propagation', 'private'), ('ip', 'mount', 'python3')),
}


def sandbox_missing(name):
    """Why tools/NAME cannot run here, or None."""
    flags, tools = SANDBOXES[name]
    for tool in tools:
        if not shutil.which(tool):
            return f'{name} needs {tool}, and there is none here'
    if not namespaces(*flags):
        return f'{name} cannot make its namespaces here (unshare {" ".join(flags)})'
    return None


def strace_traces():
    """Whether strace can trace here (an emulator may not implement ptrace)."""
    return bool(shutil.which('strace')) and subprocess.run(
        ['strace', '-o', '/dev/null', 'true'], capture_output=True).returncode == 0


def valgrind_runs(valgrind):
    """Why valgrind cannot check the programs here, or None. Under an
    emulator it may crash, hang, or take many times longer than a slow
    machine would: it checks /bin/true in about half a second on a fast one."""
    try:
        p = subprocess.run([valgrind, '-q', '--error-exitcode=99', 'true'], capture_output=True, text=True,
                           timeout=seconds(1))
    except subprocess.TimeoutExpired as e:
        return f'valgrind does not check /bin/true within {e.timeout:.0f} s here'
    return None if p.returncode == 0 else f'valgrind does not run here: {p.stderr.strip()[-200:]}'


class Tap:
    """Each line is flushed as it is written, so that a test killed on its
    timeout still shows what it had found."""

    def __init__(self):
        self.count = self.failed = 0

    def check(self, name, problems):
        """One case: it passes when problems is empty, else each is shown."""
        self.count += 1
        self.failed += bool(problems)
        print(f'{"not ok" if problems else "ok"} {self.count} - {name}', flush=True)
        for p in problems:
            print('#', str(p).replace('\n', '\n# '), flush=True)

    def attempt(self, name, work):
        """One case whose work may fail outright: work() returns its
        problems, and what it raises is one more; the later cases still run."""
        try:
            problems = work()
        except Exception as e:  # a case that cannot finish fails; the rest still run
            problems = [f'{type(e).__name__}: {e}']
        self.check(name, problems)

    def skip(self, name, reason):
        self.count += 1
        print(f'ok {self.count} - {name} # SKIP {reason}', flush=True)

    def done(self):
        print(f'1..{self.count}', flush=True)
        sys.exit(1 if self.failed else 0)


def skip_all(reason):
    print(f'1..0 # SKIP {reason}', flush=True)
    sys.exit(0)
