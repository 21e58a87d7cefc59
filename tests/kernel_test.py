#!/usr/bin/env python3
"""lumivar against the real Linux kernel: Debian's kernel under QEMU, with a
panel that the kernel's own acpi_video driver registers from an extra ACPI
table (kernel/panel.asl). One boot runs every case; each checks the exit
status, the exact bytes on stderr, an empty stdout, and what brightness and
actual_brightness read afterwards. Output is TAP.

    kernel_test.py                    the cases
    kernel_test.py --run CMD [ARG...] runs CMD in the guest instead, with
                                      LUMIVAR and DEVICE set, and exits with
                                      its status

LUMIVAR names the program to test. The kernel is the Debian kernel package
unpacked into LUMIVAR_KERNEL, by default ~/.cache/lumivar-proxisonde/kernel
(tools/build puts it there when run as root). Without QEMU, iasl, busybox,
cpio or a kernel, the cases are skipped with the reason.
"""
import glob
import gzip
import lzma
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

from lumivar_messages import NOT_ROOT, not_found, write_failed
from tap import Tap

HERE = os.path.dirname(os.path.abspath(__file__))
LUMIVAR = os.environ['LUMIVAR']
CACHE = os.environ.get('XDG_CACHE_HOME') or os.path.join(os.path.expanduser('~'), '.cache')
KERNEL_DIR = os.environ.get('LUMIVAR_KERNEL') or os.path.join(CACHE, 'lumivar-proxisonde', 'kernel')
TOOLS = ('qemu-system-x86_64', 'iasl', 'busybox', 'cpio', 'setpriv')
APPLETS = ('sh', 'mount', 'insmod', 'cat', 'echo', 'poweroff', 'readlink', 'realpath', 'od', 'tr', 'sed')

CLASS_LINK = '/sys/class/backlight/acpi_video0'
CANONICAL = '/sys/devices/pci0000:00/0000:00:02.0/backlight/acpi_video0'
MAX, START = 100, 50  # as the table sets them
REFUSED = write_failed('22: Invalid argument')
FIRMWARE_FAILS = 77  # the level that the table's set-level method fails to set

# name, who runs it (root, ruid1000, strace), device, brightness, status,
# stderr, what brightness and actual_brightness read afterwards (one number
# for both, or a pair; None: unchanged)
CASES = [
    ('the canonical path sets 0', 'root', '@DEVICE@', '0', 0, '', 0),
    ('the canonical path sets the maximum', 'root', '@DEVICE@', str(MAX), 0, '', MAX),
    ('the canonical path sets a mid value', 'root', '@DEVICE@', '42', 0, '', 42),
    ('maximum + 1: the kernel refuses it, unchanged', 'root', '@DEVICE@', str(MAX + 1), 1, REFUSED, None),
    ('4294967296: refused, the panel is not switched off', 'root', '@DEVICE@', '4294967296', 1, REFUSED, None),
    ('-1: refused, unchanged', 'root', '@DEVICE@', '-1', 1, REFUSED, None),
    ('the firmware fails to set the level: EIO, it keeps the old one', 'root', '@DEVICE@', str(FIRMWARE_FAILS), 1,
     write_failed('5: Input/output error'), (FIRMWARE_FAILS, 42)),
    ('0x1F is written as 31', 'root', '@DEVICE@', '0x1F', 0, '', 31),
    ('the class link is not the device', 'root', CLASS_LINK, '7', 1, not_found(CLASS_LINK), None),
    ('a trailing slash is not the device', 'root', '@DEVICE@/', '7', 1, not_found(CANONICAL + '/'), None),
    ('real user ID 1000, effective 0: refused, unchanged', 'ruid1000', '@DEVICE@', '7', 4, NOT_ROOT, None),
    ('traced: the value is set', 'strace', '@DEVICE@', '60', 0, '', 60),
]


def missing():
    """Why the guest cannot be made here, or None."""
    for tool in TOOLS:
        if not shutil.which(tool):
            return f'no {tool} here'
    if not images():
        return f'no kernel image in {KERNEL_DIR} (tools/build fetches it as root)'
    return None


def images():
    """The kernel images: boot/vmlinuz-VERSION, or modules/VERSION/vmlinuz in newer releases."""
    return sorted(glob.glob(os.path.join(KERNEL_DIR, '**', 'vmlinuz*'), recursive=True))


def bring(root, program):
    """Copies a host program into the guest at the same path, with the
    shared libraries it needs, and the interpreter of a script."""
    path = shutil.which(program) or program
    with open(path, 'rb') as f:
        head = f.read(128)
    files = [path]
    if head.startswith(b'#!'):
        interpreter = head[2:].split(b'\n')[0].split()[0].decode()
        if not os.path.exists(root + interpreter):
            bring(root, interpreter)
    else:
        ldd = subprocess.run(['ldd', path], capture_output=True, text=True).stdout
        files += re.findall(r'(/\S+) \(0x', ldd)
    for f in files:
        # What the guest has already (a busybox applet, say) stays.
        if not os.path.lexists(root + f):
            os.makedirs(os.path.dirname(root + f), exist_ok=True)
            shutil.copy(f, root + f)
    return path


def module(pattern):
    found = sorted(glob.glob(os.path.join(KERNEL_DIR, '**', pattern), recursive=True))
    if not found:
        sys.exit(f'Bail out! no {pattern} in {KERNEL_DIR}')
    with open(found[-1], 'rb') as f:
        data = f.read()
    return lzma.decompress(data) if found[-1].endswith('.xz') else data


def kernel_image(tmp):
    """The kernel's uncompressed vmlinux, which QEMU boots through its
    PVH entry faster than the compressed image; the image itself where its
    payload is not xz. Returns its path and the kernel's version."""
    image = images()[-1]
    with open(image, 'rb') as f:
        data = f.read()
    start = data.find(b'\xfd7zXZ\x00')
    name = os.path.basename(image)
    version = name[len('vmlinuz-'):] if name.startswith('vmlinuz-') else os.path.basename(os.path.dirname(image))
    if start < 0:
        return image, version
    vmlinux = os.path.join(tmp, 'vmlinux')
    with open(vmlinux, 'wb') as f:
        f.write(lzma.LZMADecompressor().decompress(data[start:]))
    return vmlinux, version


def guest(tmp, command=None):
    """Makes the guest's initramfs and ACPI table; returns their paths."""
    root = os.path.join(tmp, 'root')
    for d in ('bin', 'proc', 'sys', 'dev', 'modules'):
        os.makedirs(os.path.join(root, d))
    busybox = bring(root, 'busybox')
    shutil.move(root + busybox, os.path.join(root, 'bin', 'busybox'))
    for applet in APPLETS:
        os.symlink('busybox', os.path.join(root, 'bin', applet))
    shutil.copy(os.path.join(HERE, 'kernel', 'init'), os.path.join(root, 'init'))
    # The programs by absolute paths of their own: busybox's sh would run its
    # own setpriv applet for a bare name.
    programs = ('lumivar', 'setpriv', 'strace') if shutil.which('strace') else ('lumivar', 'setpriv')
    for program in programs:
        shutil.copy(bring(root, LUMIVAR if program == 'lumivar' else program), os.path.join(root, program))
    for name, pattern in (('1-wmi.ko', 'wmi.ko*'), ('2-video.ko', 'acpi/video.ko*')):
        with open(os.path.join(root, 'modules', name), 'wb') as f:
            f.write(module(pattern))
    if command:
        bring(root, command[0])
        with open(os.path.join(root, 'command'), 'w', encoding='utf-8') as f:
            f.write(f'#!/bin/sh\nexec {shlex.join(command)}\n')
        os.chmod(os.path.join(root, 'command'), 0o755)
    else:
        with open(os.path.join(root, 'cases'), 'w', encoding='utf-8') as f:
            for _, who, device, value, *_ in CASES:
                f.write(f'{who}|{device}|{value}\n')
    files = subprocess.run(['find', '.'], cwd=root, capture_output=True, check=True).stdout
    archive = subprocess.run(['cpio', '-o', '-H', 'newc', '--quiet'], cwd=root, input=files,
                             capture_output=True, check=True).stdout
    initrd = os.path.join(tmp, 'initrd.gz')
    with open(initrd, 'wb') as f:
        f.write(gzip.compress(archive, compresslevel=1))
    subprocess.run(['iasl', '-p', os.path.join(tmp, 'panel'), os.path.join(HERE, 'kernel', 'panel.asl')],
                   capture_output=True, check=True)
    return initrd, os.path.join(tmp, 'panel.aml')


def boot(command=None):
    """Boots the guest once: the console's "@@" lines, the kernel's version and the seconds it took."""
    with tempfile.TemporaryDirectory() as tmp:
        kernel, version = kernel_image(tmp)
        initrd, table = guest(tmp, command)
        start = time.monotonic()
        p = subprocess.run(['qemu-system-x86_64', '-accel', 'tcg', '-machine', 'pc', '-m', '256', '-nographic',
                            '-no-reboot', '-nic', 'none', '-kernel', kernel, '-initrd', initrd,
                            '-acpitable', f'file={table}',
                            '-append', 'console=ttyS0 panic=-1 acpi_backlight=video quiet'],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
        took = time.monotonic() - start
    lines = p.stdout.decode(errors='replace').replace('\r', '').splitlines()
    return lines, version, took


def run_command(command):
    lines, version, took = boot(command)
    print(f'# kernel {version}, {took:.1f} s', file=sys.stderr)
    section = lines[lines.index('@@OUTPUT') + 1:] if '@@OUTPUT' in lines else lines
    status = 1
    for line in section:
        if line.startswith('@@STATUS '):
            status = int(line.split()[1])
            break
        if not line.startswith('@@'):
            print(line)
    sys.exit(status)


def text(hexdigits):
    return '' if hexdigits == '-' else bytes.fromhex(hexdigits).decode(errors='replace')


def check_trace(tap, trace):
    attr = CLASS_LINK + '/brightness'
    opens = [ln for ln in trace if f'"{attr}"' in ln]
    m = re.fullmatch(rf'openat\(AT_FDCWD, "{attr}", O_WRONLY\)\s+= (\d+)', opens[0]) if len(opens) == 1 else None
    problems = [] if m else [f'want one open of {attr} with O_WRONLY alone: {opens}']
    writes = [re.sub(r'\s+= ', ' = ', ln) for ln in trace if ln.startswith('write(')]
    if m and writes != [f'write({m[1]}, "60", 2) = 2']:
        problems.append(f'writes: {writes}')
    tap.check('trace: the class entry opened with O_WRONLY alone, written once', problems)


def main():
    if sys.argv[1:2] == ['--run']:
        run_command(sys.argv[2:])
    reason = missing()
    if reason:
        print(f'1..0 # SKIP {reason}')
        return
    lines, version, took = boot()
    tap = Tap()
    print(f'# kernel {version}: boot, cases and power-off took {took:.1f} s')
    # A line may follow the firmware's text on the console without a line end.
    marked = [ln[ln.index('@@'):] for ln in lines if '@@' in ln]
    answers = [ln.split(' ', 1)[1] if ' ' in ln else '' for ln in marked]
    kinds = [ln.split(' ')[0] for ln in marked]
    if '@@END' not in kinds:
        print('Bail out! the guest did not finish:\n# ' + '\n# '.join(lines[-30:]))
        sys.exit(1)
    device = next((a.split() for k, a in zip(kinds, answers) if k == '@@DEVICE'), [])
    tap.check("acpi_video's entry: the class link, the canonical path, type firmware, the maximum",
              [] if device == ['../..' + CANONICAL[len('/sys'):], CANONICAL, 'firmware', str(MAX)]
              else [f'got {device}'] + [a for k, a in zip(kinds, answers) if k == '@@ERROR'])
    results = [a.split() for k, a in zip(kinds, answers) if k == '@@CASE']
    trace = [a for k, a in zip(kinds, answers) if k == '@@TRACE']
    levels = (START, START)
    for (name, who, _, _, status, err, after), got in zip(CASES, results + [None] * len(CASES)):
        if who == 'strace' and not shutil.which('strace'):
            tap.skip(name, 'no strace here')
            continue
        levels = levels if after is None else after if isinstance(after, tuple) else (after, after)
        want = [str(status), *map(str, levels), err, '']
        have = got[:3] + [text(got[3]), text(got[4])] if got else None
        tap.check(name, [] if have == want else [f'got (status, brightness, actual, stderr, stdout) {have}',
                                                 f'want {want}'])
    if shutil.which('strace'):
        check_trace(tap, trace)
    tap.done()


main()
