"""What every test driver shares: a few lines of TAP, which Meson reads case
by case, and the probe for the namespaces that the sandboxes make."""
import os
import subprocess
import sys


def namespaces(*flags):
    """The unshare command that makes the named namespaces here (through a
    user namespace when not root), or None where they cannot be made. A
    test skips only for that: a sandbox that fails for any other reason
    fails its cases."""
    user = () if os.getuid() == 0 else ('--user', '--map-root-user')
    command = ['unshare', *user, *flags]
    return command if subprocess.run([*command, 'true'], capture_output=True).returncode == 0 else None


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

    def skip(self, name, reason):
        self.count += 1
        print(f'ok {self.count} - {name} # SKIP {reason}', flush=True)

    def done(self):
        print(f'1..{self.count}', flush=True)
        sys.exit(1 if self.failed else 0)


def skip_all(reason):
    print(f'1..0 # SKIP {reason}', flush=True)
    sys.exit(0)
