#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""lumivar against the real Linux kernel: every case in one boot of
tools/kernel-sandbox, where Debian's kernel runs in QEMU with a panel that
the kernel's own acpi_video driver registers from an extra ACPI table. Each
case checks the exit status, the exact bytes on stderr, an empty stdout, and
what brightness and actual_brightness read afterwards. Where the guest cannot
be made here, the cases are skipped with the reason. Output is TAP.
"""
import os
import shutil
import subprocess

from helpers import Tap, seconds, skip_all
from lumivar_messages import NOT_ROOT, not_found, write_failed
from write_trace import write_problems

KERNEL_SANDBOX = os.path.join(os.environ['TOOLS'], 'kernel-sandbox')

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


# Runs in the guest with the cases as its arguments, three words each: who
# runs lumivar, the device (@DEVICE@ standing for the panel's canonical path)
# and the brightness. Each case answers with one line
#   CASE STATUS BRIGHTNESS ACTUAL_BRIGHTNESS STDERR STDOUT
# (the outputs as hex digits, - when empty), and a traced one with its trace
# after it, each line behind "TRACE ".
RUNNER = '''
link=/sys/class/backlight/acpi_video0
echo "DEVICE $(readlink "$link") $DEVICE $(cat "$link/type") $(cat "$link/max_brightness")"
hex() {
	h=$(od -An -v -tx1 "$1" | tr -d ' \\n')
	echo "${h:--}"
}
while [ $# -gt 0 ]; do
	who=$1 first=$(echo "$2" | sed "s|@DEVICE@|$DEVICE|") second=$3
	shift 3
	case $who in
	root) "$LUMIVAR" "$first" "$second" >/out 2>/err ;;
	ruid1000) /setpriv --ruid=1000 "$LUMIVAR" "$first" "$second" >/out 2>/err ;;
	strace) /strace -o /trace -e trace=openat,write,close "$LUMIVAR" "$first" "$second" >/out 2>/err ;;
	esac
	status=$?
	echo "CASE $status $(cat "$link/brightness") $(cat "$link/actual_brightness") $(hex /err) $(hex /out)"
	[ "$who" != strace ] || sed 's/^/TRACE /' /trace
done
echo END
'''


def text(hexdigits):
    return '' if hexdigits == '-' else bytes.fromhex(hexdigits).decode(errors='replace')


def main():
    missing = subprocess.run([KERNEL_SANDBOX, '--missing'], capture_output=True, text=True)
    if missing.returncode:
        skip_all(missing.stderr.strip().removeprefix('kernel-sandbox: '))
    words = [word for _, who, device, value, *_ in CASES for word in (who, device, value)]
    try:
        p = subprocess.run([KERNEL_SANDBOX, '--', 'sh', '-c', RUNNER, 'sh', *words], capture_output=True, text=True,
                           timeout=seconds(30))
        lines, log = p.stdout.splitlines(), p.stderr
    except subprocess.TimeoutExpired as e:
        lines, log = [], f'the guest took longer than {e.timeout:.0f} s'
    print('# ' + log.strip().replace('\n', '\n# '), flush=True)
    if 'END' not in lines:
        print('Bail out! the guest did not finish:\n# ' + '\n# '.join(lines[-30:]), flush=True)
        raise SystemExit(1)
    tap = Tap()
    kinds = [ln.split(' ')[0] for ln in lines]
    answers = [ln.split(' ', 1)[1] if ' ' in ln else '' for ln in lines]
    device = next((a.split() for k, a in zip(kinds, answers) if k == 'DEVICE'), [])
    tap.check("acpi_video's entry: the class link, the canonical path, type firmware, the maximum",
              [] if device == ['../..' + CANONICAL[len('/sys'):], CANONICAL, 'firmware', str(MAX)]
              else [f'got {device}'])
    results = [a.split() for k, a in zip(kinds, answers) if k == 'CASE']
    trace = [a for k, a in zip(kinds, answers) if k == 'TRACE']
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
        tap.check('trace: the class entry opened with O_WRONLY alone, written once',
                  write_problems(trace, CLASS_LINK + '/brightness', '60')[0])
    tap.done()


main()
