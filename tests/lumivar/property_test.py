#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""lumivar against random arguments, and under load, in one sandbox.

Random device and brightness arguments go to the real program in a simulated
backlight class with several devices, a dangling link, a hidden entry and a
plain directory entry. For every run: stdout is empty, the status and the
stderr bytes are exactly what the argument handling calls for, and at most
the one brightness file whose entry's canonical path equals the device
argument changed, holding the value as strtol reads it. A failing run shows
its seed and arguments; PROPERTY_SEED replays a run of the suite, and
PROPERTY_RUNS sets the number of random runs (2000, or 500 in a sanitizer
build). Then 1000 runs (PROPERTY_LOAD), 8 at a time, write one device while
it is read: the file must hold one whole issued value at every read.
Output is TAP.
"""
import os
import random
import string
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import lumivar_messages
from helpers import Tap, sandbox_missing, seconds, skip_all

LUMIVAR = os.environ['LUMIVAR']
BACKLIGHT_SANDBOX = os.path.join(os.environ['TOOLS'], 'backlight-sandbox')
RUNS = int(os.environ.get('PROPERTY_RUNS') or (500 if os.environ.get('SANITIZED') else 2000))
LOAD = int(os.environ.get('PROPERTY_LOAD') or 1000)

CLASS = '/sys/class/backlight'
DEVICES = ['pci0000:00/0000:00:02.0/drm/card0/card0-eDP-1/intel_backlight,raw,1200,',
           'pci0000:00/0000:00:02.0/backlight/acpi_video0,firmware,15,',
           'platform/dell-laptop/backlight/dell_backlight,platform,15,']
RANGE = lumivar_messages.range_refused().encode()


def strtol(arg):
    """The value C's strtol(arg, NULL, 0) gives, or None for a range error."""
    i, n = 0, len(arg)
    while i < n and arg[i] in b' \t\n\v\f\r':
        i += 1
    negative = i < n and arg[i] == ord('-')
    i += i < n and arg[i] in b'+-'
    base = 10
    if arg[i:i + 1] == b'0':
        base = 8
        if arg[i + 1:i + 2] in (b'x', b'X') and arg[i + 2:i + 3] and arg[i + 2:i + 3] in string.hexdigits.encode():
            base, i = 16, i + 2
    digits = '0123456789abcdef'[:base]
    start = i
    while i < n and chr(arg[i]).lower() in digits:
        i += 1
    value = int(arg[start:i], base) if i > start else 0
    value = -value if negative else value
    return value if -2**63 <= value < 2**63 else None


def lay_out():
    """Adds the odd entries; returns {canonical path: brightness file} of what may match."""
    os.makedirs('/sys/devices/platform/hidden_bl')
    open('/sys/devices/platform/hidden_bl/brightness', 'wb').close()
    os.symlink('../../devices/platform/hidden_bl', f'{CLASS}/.hidden')
    os.symlink('../../devices/nowhere', f'{CLASS}/gone')
    os.mkdir(f'{CLASS}/plain')
    open(f'{CLASS}/plain/brightness', 'wb').close()
    entries = [e for e in os.listdir(CLASS) if not e.startswith('.') and os.path.exists(f'{CLASS}/{e}')]
    return {os.path.realpath(f'{CLASS}/{e}').encode(): os.path.realpath(f'{CLASS}/{e}/brightness') for e in entries}


def device_arg(rng, canonical):
    path = rng.choice(canonical)
    kind = rng.randrange(9)
    if kind <= 1:
        return path
    if kind == 2:
        return CLASS.encode() + b'/' + path.rsplit(b'/', 1)[1]
    if kind == 3:  # one byte changed, dropped or added, or a slash more
        i = rng.randrange(len(path))
        return rng.choice([path[:i] + bytes([rng.randrange(1, 256)]) + path[i + 1:], path[:i] + path[i + 1:],
                           path[:i] + b'/' + path[i:], path + b'/', b'.' + path, path.upper()])
    if kind == 4:
        return bytes(rng.randrange(1, 256) for _ in range(rng.randrange(1, 64)))
    if kind == 5:
        return b''.join(rng.choice([b'%s', b'%n', b'%x', b'%p', b'%%', b'%99999d', b'"']) for _ in range(rng.randrange(1, 9)))
    if kind == 6:
        return rng.choice([path, b"A" * 100]) * rng.randrange(2, 1000)
    if kind == 7:
        return rng.choice([b'', b'/', b'/sys/devices/platform/hidden_bl', b'/sys/devices/nowhere', CLASS.encode()])
    return rng.choice([b'-1', b'--help', b'..', b'/sys/class/backlight/../backlight/gone'])


def brightness_arg(rng):
    kind = rng.randrange(7)
    if kind == 0:
        number = str(rng.randrange(10 ** rng.randrange(1, 25))).encode()
    elif kind == 1:
        number = rng.choice([b'0x', b'0X']) + f'{rng.randrange(16 ** rng.randrange(1, 20)):x}'.encode()
    elif kind == 2:
        number = f'0{rng.randrange(8 ** rng.randrange(1, 24)):o}'.encode()
    elif kind == 3:
        number = str(rng.choice([2**31 - 1, 2**31, 2**32, 2**32 + 100, 2**63 - 1, 2**63, 2**64])).encode()
    elif kind == 4:
        number = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(6)))
    else:
        number = rng.choice([b'', b'0', b'0b101', b'08', b'0x', b'x1'])
    return (rng.choice([b'', b' ', b'\t', b' \n\v\f\r']) + rng.choice([b'', b'+', b'-']) + number +
            rng.choice([b'', b'abc', b' 7', b'.5', b'\xff', b'%n']))


def files_now(files):
    out = {}
    for path in files:
        with open(path, 'rb') as f:
            out[path] = f.read()
    return out


def one_run(rng, targets, files):
    """Problems with one random run, empty when it behaves."""
    device, brightness = device_arg(rng, sorted(targets)), brightness_arg(rng)
    for path in files:
        open(path, 'wb').close()
    p = subprocess.run([LUMIVAR, device, brightness], capture_output=True, timeout=seconds(2))
    value = strtol(brightness)
    if value is None:
        want = (1, RANGE, {})
    elif device in targets:
        want = (0, b'', {targets[device]: str(value).encode()})
    else:
        want = (1, lumivar_messages.not_found(device.decode('latin-1')).encode('latin-1'), {})
    written = {k: v for k, v in files_now(files).items() if v}
    got = (p.returncode, p.stderr, written)
    problems = [f'stdout {p.stdout!r}'] if p.stdout else []
    if got != want:
        problems.append(f'got {got!r}, want {want!r}')
    return [f'device {device!r} brightness {brightness!r}: {p}' for p in problems]


def check_properties(seed, targets, files):
    failures = []
    for i in range(RUNS):
        problems = one_run(random.Random(f'{seed}:{i}'), targets, files)
        if problems:
            failures.append(f'seed {seed} run {i}: ' + '; '.join(problems))
    return failures[:10] + ([f'{len(failures)} runs failed'] if failures else [])


def check_load(path, entry_device):
    """LOAD runs, 8 at a time, against one device while a reader watches its
    file. Each value is a number of three digits written twice, so that no
    prefix of one value followed by the rest of another (a torn write), nor
    a part of one (a cut-off write), is a value issued: a writer that wrote
    in pieces or truncated first would show. Other mixes may be issued
    values (153153 mixes 123123 and 456456), which this does not catch."""
    first = b'100100'
    with open(path, 'wb') as f:
        f.write(first)
    issued, problems, done = {first}, [], threading.Event()

    def writer(i):
        value = str(100 + (i * 7919) % 900).encode() * 2
        issued.add(value)
        p = subprocess.run([LUMIVAR, entry_device, value], capture_output=True, timeout=seconds(2))
        if (p.returncode, p.stdout, p.stderr) != (0, b'', b''):
            problems.append(f'run {i}: {p.returncode} {p.stdout!r} {p.stderr!r}')

    def reader():
        reads = 0
        while not done.is_set() or reads == 0:
            with open(path, 'rb') as f:
                text = f.read()
            reads += 1
            if text not in issued:
                problems.append(f'the file held {text!r}')
        problems.extend([] if reads > 1 else ['the reader never ran beside the writers'])

    watcher = threading.Thread(target=reader)
    watcher.start()
    try:
        with ThreadPoolExecutor(8) as pool:
            list(pool.map(writer, range(LOAD)))
    finally:
        done.set()
        watcher.join()
    with open(path, 'rb') as f:
        final = f.read()
    return problems[:10] + ([] if final in issued else [f'final {final!r}'])


def inside():
    tap = Tap()
    targets = lay_out()
    files = sorted(set(targets.values()) | {'/sys/devices/platform/hidden_bl/brightness'})
    seed = int(os.environ.get('PROPERTY_SEED') or random.SystemRandom().randrange(2**32))
    print(f'# seed {seed}: PROPERTY_SEED={seed} replays it')
    tap.attempt(f'{RUNS} random runs (seed {seed})', lambda: check_properties(seed, targets, files))
    intel = next(d for d in targets if d.endswith(b'/intel_backlight'))
    tap.attempt(f'load: {LOAD} runs, 8 at a time, each exits 0 and the file always holds one whole issued value',
                lambda: check_load(targets[intel], intel))
    tap.done()


if sys.argv[1:] == ['--inside']:
    inside()
else:
    reason = sandbox_missing('backlight-sandbox')
    if reason:
        skip_all(reason)
    sys.exit(subprocess.run([BACKLIGHT_SANDBOX, *[f'--device={d}' for d in DEVICES], '--',
                             sys.executable, __file__, '--inside']).returncode)
