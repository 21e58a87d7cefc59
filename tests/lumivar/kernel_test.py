#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""lumivar against the real Linux kernel: every case in one boot of
tools/kernel-sandbox, where Debian's kernel runs in QEMU, in the guest of the
built lumivar's architecture, with panels that the kernel's own drivers
register: the ACPI video driver's from an extra ACPI table on x86-64 and
i386, the GPIO, LED and PWM backlight drivers' from nodes added to the
device tree on aarch64 and armhf. Each case runs on each panel of the guest
and checks the exit status, the exact bytes on stderr, an empty stdout, and
what brightness and actual_brightness read afterwards; the error numbers
are the kernel's, their texts those of lumivar's C library. Where the guest
cannot be made here, the cases are skipped with the reason. Output is TAP.
"""
import errno
import os
import shutil
import subprocess
from collections import namedtuple

from helpers import Tap, seconds, skip_all
from lumivar_messages import NOT_ROOT, not_found, write_failed
from write_trace import write_problems

KERNEL_SANDBOX = os.path.join(os.environ['TOOLS'], 'kernel-sandbox')
ERRNO_TEXT = os.environ['ERRNO_TEXT']
# The error numbers whose texts lumivar may show here, in the words of its C
# library: errno_text, built against it, says them in the guest.
ERRNOS = (errno.EIO, errno.EINVAL, errno.ERANGE)
Kernel = namedtuple('Kernel', 'bits error')

# Each guest's panels, as its firmware describes them: the class entry, its
# canonical path, its type, its maximum and the level it starts at.
Panel = namedtuple('Panel', 'entry device type max start')
PANELS = {
    'x86_64': [Panel('acpi_video0', '/sys/devices/pci0000:00/0000:00:02.0/backlight/acpi_video0', 'firmware', 100, 50)],
    'aarch64': [Panel('backlight', '/sys/devices/platform/backlight/backlight/backlight', 'raw', 1, 1),
                Panel('backlight-led', '/sys/devices/platform/backlight-led/backlight/backlight-led', 'raw', 100, 50)],
    'armhf': [Panel('backlight', '/sys/devices/platform/backlight/backlight/backlight', 'raw', 1, 1),
              Panel('backlight-pwm', '/sys/devices/platform/backlight-pwm/backlight/backlight-pwm', 'raw', 100, 50)],
}
PANELS['i386'] = PANELS['x86_64']
FIRMWARE = ['x86_64', 'i386']  # the guests of the ACPI firmware panel
DEVICE_TREE = ['aarch64', 'armhf']
FIRMWARE_FAILS = 77  # the level that the ACPI table's set-level method fails to set

# One row a case, run in this order on each panel of the guests it names
# (None: every guest): its name, the guests, who runs lumivar (root;
# user1000, a caller that is not root; ruid1000, a set-user-ID copy started
# by user 1000), the device, the brightness, and the answer. The device and
# the brightness are formatted with the panel: {link}, its class link;
# {device}, its canonical path; {parent}, that of the device its entry
# belongs to; {max}, its maximum; {above}, its maximum + 1. An answer that is
# a number is what lumivar writes: the kernel takes it within the panel's
# range, 0 to its maximum, and both files then read it; it refuses any other
# with EINVAL, and the panel keeps its level. Any other answer is the
# status, the stderr, and what both files read afterwards (None: unchanged;
# GONE: the entry is gone).
Case = namedtuple('Case', 'name guests who device value answer')
# A message that is a function is given the device and the guest's texts.
NOT_FOUND = lambda device, error: not_found(device)  # noqa: E731
GONE = ('-', '-')
CASES = [
    *[Case(f'brightness {value!r} written as {number}', None, 'root', '{device}', value, number)
      for value, number in [('0', 0), ('{max}', '{max}'), ('42', 42), ('{above}', '{above}'), ('-1', -1),
                            ('4294967296', 4294967296), ('0x100000000', 4294967296), ('4294967295', 4294967295),
                            ('2147483648', 2147483648)]],
    Case('the firmware fails to set the level: EIO, it keeps the old one', FIRMWARE, 'root', '{device}',
         str(FIRMWARE_FAILS), (1, lambda device, error: write_failed(error(errno.EIO)), (FIRMWARE_FAILS, 42))),
    *[Case(f'brightness {value!r} written as {number}', None, 'root', '{device}', value, number)
      for value, number in [('0x1F', 31), ('017', 15), ('12abc', 12), ('', 0)]],
    Case('the class link is not the device', None, 'root', '{link}', '1', (1, NOT_FOUND, None)),
    Case('a trailing slash is not the device', None, 'root', '{device}/', '1', (1, NOT_FOUND, None)),
    Case("the entry's device is not the backlight", None, 'root', '{parent}', '1', (1, NOT_FOUND, None)),
    Case('a caller that is not root: refused, unchanged', None, 'user1000', '{device}', '1', (4, NOT_ROOT, None)),
    Case('real user ID 1000, effective 0: refused, unchanged', None, 'ruid1000', '{device}', '1', (4, NOT_ROOT, None)),
    Case('traced: the value is set', ['x86_64'], 'strace', '{device}', '60', 60),
    Case('once the driver is unbound, the device is gone', DEVICE_TREE, 'unbound', '{device}', '1',
         (1, NOT_FOUND, GONE)),
]


# Runs in the guest with the cases as its arguments, four words each: who
# runs lumivar, the class entry, the device and the brightness. It first
# gives the C library's texts of the error numbers, a line each
#   ERRNO NUMBER TEXT
# then the width of the kernel's addresses, and so of its unsigned long
#   BITS N
# and describes each entry with a line
#   PANEL ENTRY LINK-TARGET CANONICAL-PATH TYPE MAX BRIGHTNESS ACTUAL_BRIGHTNESS
# and each case answers with one line
#   CASE STATUS BRIGHTNESS ACTUAL_BRIGHTNESS STDERR STDOUT
# (a file that cannot be read as -, the outputs as hex digits, - when
# empty), and a traced one with its trace after it, each line behind "TRACE ".
RUNNER = '''
read_file() {
	v=$(cat "$1" 2>/dev/null)
	echo "${v:--}"
}
hex() {
	h=$(od -An -v -tx1 "$1" | tr -d ' \\n')
	echo "${h:--}"
}
/errno_text ERRNOS | sed 's/^/ERRNO /'
read -r address _ </proc/kallsyms
echo "BITS $((${#address} * 4))"
for entry in $ENTRIES; do
	link=/sys/class/backlight/$entry
	echo "PANEL $entry $(readlink "$link") $(realpath "$link") $(cat "$link/type") $(cat "$link/max_brightness")" \\
		"$(cat "$link/brightness") $(cat "$link/actual_brightness")"
done
cp "$LUMIVAR" /setuid-lumivar && chmod 4755 /setuid-lumivar
as_user() { # PROGRAM ARG...: run by user and group 1000
	program=$1
	shift
	start-stop-daemon -S -c 1000:1000 -x "$program" -- "$@"
}
while [ $# -gt 0 ]; do
	who=$1 link=/sys/class/backlight/$2 device=$3 value=$4
	shift 4
	case $who in
	root) "$LUMIVAR" "$device" "$value" >/out 2>/err ;;
	user1000) as_user "$LUMIVAR" "$device" "$value" >/out 2>/err ;;
	ruid1000) as_user /setuid-lumivar "$device" "$value" >/out 2>/err ;;
	strace) /strace -o /trace -e trace=open,openat,write,close "$LUMIVAR" "$device" "$value" >/out 2>/err ;;
	unbound)
		parent=$(realpath "$link/device")
		echo "${parent##*/}" >"$link/device/driver/unbind"
		"$LUMIVAR" "$device" "$value" >/out 2>/err
		;;
	esac
	status=$?
	echo "CASE $status $(read_file "$link/brightness") $(read_file "$link/actual_brightness") $(hex /err) $(hex /out)"
	[ "$who" != strace ] || sed 's/^/TRACE /' /trace
done
echo END
'''.replace('ERRNOS', ' '.join(map(str, ERRNOS)))


def text(hexdigits):
    return '' if hexdigits == '-' else bytes.fromhex(hexdigits).decode(errors='replace')


def runs(arch):
    """Every case on every panel of the guest, in order: (panel, case, device, brightness, answer)."""
    for panel in PANELS[arch]:
        names = {'link': '/sys/class/backlight/' + panel.entry, 'device': panel.device,
                 'parent': os.path.dirname(os.path.dirname(panel.device)), 'max': panel.max, 'above': panel.max + 1}
        for case in CASES:
            if case.guests is None or arch in case.guests:
                answer = case.answer.format(**names) if isinstance(case.answer, str) else case.answer
                yield panel, case, case.device.format(**names), case.value.format(**names), answer


def expected(panel, device, answer, levels, kernel):
    """What the case should answer on the panel whose files read levels
    before it, on the kernel: (status, stderr, levels after)."""
    if isinstance(answer, tuple):
        status, err, after = answer
        return status, err(device, kernel.error) if callable(err) else err, levels if after is None else after
    # The kernel's rule: the class reads the text into an unsigned long, so
    # a number beyond its range is ERANGE; one out of the panel's range,
    # negative or above its maximum, is EINVAL; the panel keeps its level.
    number = int(answer)
    if 0 <= number <= panel.max:
        return 0, '', (number, number)
    return 1, write_failed(kernel.error(errno.ERANGE if number >= 2 ** kernel.bits else errno.EINVAL)), levels


def main():
    # The guest that the built lumivar needs, or why there is none here.
    missing = subprocess.run([KERNEL_SANDBOX, '--missing'], capture_output=True, text=True)
    if missing.returncode:
        skip_all(missing.stderr.strip().removeprefix('kernel-sandbox: '))
    arch = missing.stdout.strip()
    cases = list(runs(arch))
    words = [word for panel, case, device, value, _ in cases for word in (case.who, panel.entry, device, value)]
    try:
        p = subprocess.run([KERNEL_SANDBOX, '--with', ERRNO_TEXT, '--', 'sh', '-c', RUNNER, 'sh', *words],
                           capture_output=True, text=True, timeout=seconds(30))
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
    described = [a.split() for k, a in zip(kinds, answers) if k == 'PANEL']
    for panel in PANELS[arch]:
        want = [panel.entry, '../..' + panel.device[len('/sys'):], panel.device, panel.type, str(panel.max),
                str(panel.start), str(panel.start)]
        got = next((d for d in described if d[:1] == [panel.entry]), None)
        tap.check(f'{arch} {panel.entry}: the class link, the canonical path, type {panel.type}, maximum '
                  f'{panel.max}, level {panel.start}', [] if got == want else [f'got {got}', f'want {want}'])
    results = [a.split() for k, a in zip(kinds, answers) if k == 'CASE']
    texts = dict(a.split(' ', 1) for k, a in zip(kinds, answers) if k == 'ERRNO')
    bits = next((int(a) for k, a in zip(kinds, answers) if k == 'BITS'), 0)
    kernel = Kernel(bits, lambda number: f'{number}: {texts.get(str(number))}')
    print(f"# the kernel's unsigned long: {bits} bits; the C library's texts: {texts}", flush=True)
    trace = [a for k, a in zip(kinds, answers) if k == 'TRACE']
    levels = {panel.entry: (panel.start, panel.start) for panel in PANELS[arch]}
    for (panel, case, device, _, answer), got in zip(cases, results + [None] * len(cases)):
        name = f'{arch} {panel.entry}: {case.name.format(max=panel.max, above=panel.max + 1)}'
        if case.who == 'strace' and not shutil.which('strace'):
            tap.skip(name, 'no strace here')
            continue
        status, err, levels[panel.entry] = expected(panel, device, answer, levels[panel.entry], kernel)
        if not isinstance(answer, tuple):
            name += ': taken' if status == 0 else ': refused, unchanged'
        want = [str(status), *map(str, levels[panel.entry]), err, '']
        have = got[:3] + [text(got[3]), text(got[4])] if got else None
        tap.check(name, [] if have == want else [f'got (status, brightness, actual, stderr, stdout) {have}',
                                                 f'want {want}'])
    if any(case.who == 'strace' for _, case, *_ in cases) and shutil.which('strace'):
        entry = PANELS[arch][0].entry
        tap.check(f'{arch} {entry}: trace: the class entry opened with O_WRONLY alone, written once',
                  write_problems(trace, f'/sys/class/backlight/{entry}/brightness', '60')[0])
    tap.done()


main()
