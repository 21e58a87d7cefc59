#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""lumivar end to end: the built binary in a simulated backlight class.

Each case runs the real program in a fresh sandbox and checks its exit
status, the exact bytes on stderr, an empty stdout, and the bytes of every
simulated brightness file. Every brightness file starts empty, so after a run
a file holds exactly what was written to it. With VALGRIND set, every run
also goes through valgrind's memcheck: no error, no leak, and no descriptor
left open at exit but 0, 1 and 2. Output is TAP.
"""
import errno
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import namedtuple

from helpers import Tap, sandbox_missing, seconds, skip_all, strace_traces, valgrind_runs
from lumivar_messages import (COUNT, NOT_ROOT, class_dir_failed, error, no_null_device, not_found, open_failed,
                              range_refused, write_failed, wrong_length)
from write_trace import OPENED, write_problems

LUMIVAR = os.environ['LUMIVAR']
BACKLIGHT_SANDBOX = os.path.join(os.environ['TOOLS'], 'backlight-sandbox')
EXEC_ARGV = os.environ['EXEC_ARGV']
STALE_ERRNO = os.environ['STALE_ERRNO']
VALGRIND = os.environ.get('VALGRIND')
SANITIZED = os.environ.get('SANITIZED')
RANGE = range_refused()
# A program without an interpreter is static. musl's C library, needed as
# libc.so, has no soname: valgrind finds its malloc as that of an object
# without one. readelf (binutils) tells; without it, what depends on it is
# skipped.
NO_READELF = None if shutil.which('readelf') else 'no readelf (binutils) here to tell what lumivar is linked with'
HEADERS = '' if NO_READELF else subprocess.run(['readelf', '-lWd', LUMIVAR], capture_output=True, text=True,
                                               check=True).stdout
STATIC = 'program interpreter' not in HEADERS
MALLOC = ('--soname-synonyms=somalloc=NONE',) if 'Shared library: [libc.so]' in HEADERS else ()


def interpreter(headers):
    found = re.search(r'program interpreter: (\S+)\]', headers)
    return found and found[1]


# valgrind's launcher is a program of this machine's C library, as this
# Python is.
FOREIGN_C_LIBRARY = VALGRIND and HEADERS and not STATIC and interpreter(HEADERS) != interpreter(
    subprocess.run(['readelf', '-lW', os.path.realpath(sys.executable)], capture_output=True, text=True).stdout)

CLASS = '/sys/class/backlight'
INTEL = '/sys/devices/pci0000:00/0000:00:02.0/drm/card0/card0-eDP-1/intel_backlight'
ACPI = '/sys/devices/pci0000:00/0000:00:02.0/backlight/acpi_video0'
DEVICES = [f'--device={d[len("/sys/devices/"):]},raw,1200,' for d in (INTEL, ACPI)]


# After the command, every regular brightness file under the simulated tree is
# listed as PATH=CONTENT, one a line.
INNER = '''set -e
eval "$SETUP"
set +e
"$@"
rc=$?
find /sys/class /sys/devices -name brightness -type f | sort | while read -r f; do
	printf '%s=' "$f"; cat "$f"; echo
done >"$STATE"
exit $rc
'''


def run(args, setup='', wrap=(), program=LUMIVAR):
    """Runs lumivar (or a copy of it) in a fresh sandbox: (status, stdout, stderr, written files), problems."""
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o777)  # valgrind logs here as whichever user the case runs as
        state, log = os.path.join(tmp, 'state'), os.path.join(tmp, 'memcheck')
        env = dict(os.environ, SETUP=setup, STATE=state)
        # LeakSanitizer cannot run under ptrace; valgrind covers leaks there.
        if SANITIZED and 'strace' in wrap:
            env['ASAN_OPTIONS'] = 'detect_leaks=0'
        # valgrind 3.24 and later count lumivar's check of a descriptor that
        # is closed as the use of a closed one: that case runs without
        # tracking descriptors.
        fds = () if CLOSED[2] in wrap else ('--track-fds=yes',)
        memcheck = (VALGRIND, '--leak-check=full', '--errors-for-leak-kinds=all', *fds, *MALLOC,
                    '--error-exitcode=99', f'--log-file={log}') if VALGRIND else ()
        p = subprocess.run([BACKLIGHT_SANDBOX, *DEVICES, '--', 'sh', '-c', INNER, 'sh', *wrap, *memcheck, program, *args],
                           capture_output=True, env=env, timeout=seconds(4))
        with open(state, encoding='utf-8', errors='replace') as f:
            # A file's content may hold line ends of its own.
            files = dict(re.findall(r'^(/sys/\S*/brightness)=(.*?)\n(?=/sys/|\Z)', f.read(), re.M | re.S))
        problems = memcheck_problems(log) if VALGRIND else []
    return (p.returncode, p.stdout, p.stderr.decode(), {k: v for k, v in files.items() if v}), problems


def memcheck_problems(log):
    if not os.path.exists(log):
        return ['valgrind left no log']
    with open(log, encoding='utf-8') as f:
        text = f.read()
    # valgrind 3.19 counts its own log file among the inherited descriptors.
    fds = [m for m in re.findall(r'Open file descriptor (\d+): (.*)', text) if int(m[0]) > 2 and m[1] != log]
    clean = 'ERROR SUMMARY: 0 errors' in text and not fds
    return [] if clean else ['valgrind:\n' + text]


Case = namedtuple('Case', 'name args status err written setup wrap', defaults=({}, '', ()))
SETPRIV = ('setpriv',)
NOBODY = SETPRIV + ('--reuid=65534', '--regid=65534', '--clear-groups')
# Faults injected into the write to the brightness file alone (not into
# anything valgrind writes), named by its canonical path.
INJECT = ('strace', '-o', '/dev/null', '-P', INTEL + '/brightness', '-e')


def started(*argv):
    """What exec_argv, started with the argument vector argv, says of it: its argc and its name."""
    return subprocess.run([EXEC_ARGV, EXEC_ARGV, *argv], capture_output=True, text=True, check=True).stdout


# What this kernel passes a program started with no argument vector: argc 1
# and an empty name, or argc 0; and whether a name given comes through.
EMPTY_ARGC = started().split(' ')[0]
NAMES_COME_THROUGH = started('%s name') == '1 %s name\n'
# Started with stdin and stderr closed, the class directory and the attribute
# would be opened as descriptors 0 and 2.
CLOSED = ('sh', '-c', 'exec 0<&- 2>&- "$@"', 'sh')
CLOSED_STDIN = ('sh', '-c', 'exec 0<&- "$@"', 'sh')
# lumivar starts with errno set to EINVAL by a preloaded library, named
# through its directory because LD_PRELOAD splits a path at blanks. A
# sanitizer runtime that is not first among the libraries would refuse to
# start.
ERRNO_SET = ('env', f'LD_LIBRARY_PATH={os.path.dirname(STALE_ERRNO)}', f'LD_PRELOAD={os.path.basename(STALE_ERRNO)}',
             'ASAN_OPTIONS=verify_asan_link_order=0')

CASES = [
    # privilege: refused before the arguments are looked at
    Case('plain user, no arguments', (), 4, NOT_ROOT, wrap=NOBODY),
    Case('plain user, valid arguments', (INTEL, '5'), 4, NOT_ROOT, wrap=NOBODY),
    Case('real uid 1000, effective 0', (INTEL, '5'), 4, NOT_ROOT, wrap=SETPRIV + ('--ruid=1000', '--euid=0')),
    Case('real uid 1000, effective 0, no arguments', (), 4, NOT_ROOT, wrap=SETPRIV + ('--ruid=1000', '--euid=0')),
    Case('real uid 0, effective 1000', (INTEL, '5'), 4, NOT_ROOT, wrap=SETPRIV + ('--ruid=0', '--euid=1000')),
    Case('real uid 0, effective 1000, no arguments', (), 4, NOT_ROOT, wrap=SETPRIV + ('--ruid=0', '--euid=1000')),

    # argument count and usage
    Case('no arguments', (), 3, COUNT),
    Case('one argument', (INTEL,), 3, COUNT),
    Case('three arguments', (INTEL, '5', '6'), 3, COUNT),
    # Started with no vector at all, lumivar shows what the kernel passes:
    # an empty name (Linux 5.18 and later) or none, when it names itself.
    Case(f'empty argument vector (this kernel passes argc {EMPTY_ARGC})', (), 3,
         COUNT.replace(LUMIVAR, '' if EMPTY_ARGC == '1' else 'lumivar'), wrap=(EXEC_ARGV,)),
    Case('empty program name', ('', INTEL), 3, COUNT.replace(LUMIVAR, ''), wrap=(EXEC_ARGV,)),
    Case('program name with directives', ('%s%n%x', INTEL), 3, COUNT.replace(LUMIVAR, '%s%n%x'), wrap=(EXEC_ARGV,)),
    Case('option-like argument is a device', ('--help', '5'), 1, not_found('--help')),

    # conversion: lenient, 64-bit, written in full
    *[Case(f'brightness {arg!r} written as {text}', (INTEL, arg), 0, '', {INTEL + '/brightness': text})
      for arg, text in [('120', '120'), ('0', '0'), ('-1', '-1'), ('0x1F', '31'), ('0X1f', '31'),
                        ('017', '15'), ('08', '0'), ('12abc', '12'), ('', '0'), ('abc', '0'),
                        ('0b101', '0'), (' 42', '42'), ('\t+42', '42'), ('-0x10', '-16'),
                        ('4294967296', '4294967296'), ('4294967396', '4294967396'),
                        ('2147483648', '2147483648'), ('-2147483649', '-2147483649'),
                        ('9223372036854775807', '9223372036854775807'),
                        ('-9223372036854775808', '-9223372036854775808')]],
    *[Case(f'brightness {arg} out of range', (INTEL, arg), 1, RANGE)
      for arg in ('9' * 20, '-' + '9' * 20, '9223372036854775808', '0x10000000000000000')],
    Case('bad brightness wins over a missing device', ('/nowhere', '9' * 20), 1, RANGE),
    Case('errno set before main: a valid value is written', (INTEL, '120'), 0, '', {INTEL + '/brightness': '120'},
         wrap=ERRNO_SET),
    Case('errno set before main: out of range is still the range error', (INTEL, '9' * 20), 1, RANGE,
         wrap=ERRNO_SET),

    # device matching: only an entry's canonical path selects it
    Case('second device by canonical path', (ACPI, '3'), 0, '', {ACPI + '/brightness': '3'}),
    Case('class link form', (CLASS + '/intel_backlight', '5'), 1, not_found(CLASS + '/intel_backlight')),
    Case('trailing slash', (INTEL + '/', '5'), 1, not_found(INTEL + '/')),
    Case('doubled slash', (INTEL.replace('/drm/', '//drm/'), '5'), 1, not_found(INTEL.replace('/drm/', '//drm/'))),
    Case('relative form', ('..' + INTEL, '5'), 1, not_found('..' + INTEL)),
    Case('empty device', ('', '5'), 1, not_found('')),
    Case('device with directives printed literally', ('%s%n%x%d', '5'), 1, not_found('%s%n%x%d')),
    Case('entry that is its own canonical path', (CLASS + '/plain', '5'), 0, '', {CLASS + '/plain/brightness': '5'},
         setup=f'mkdir {CLASS}/plain; : >{CLASS}/plain/brightness'),
    Case('hidden entry is skipped', ('/sys/devices/hidden', '5'), 1, not_found('/sys/devices/hidden'),
         setup=f'mkdir /sys/devices/hidden; : >/sys/devices/hidden/brightness; ln -s ../../devices/hidden {CLASS}/.hidden'),
    Case('dangling link is passed over', (INTEL, '5'), 0, '', {INTEL + '/brightness': '5'},
         setup=f'ln -s ../../devices/gone {CLASS}/0gone; ln -s ../../devices/gone {CLASS}/zgone'),
    Case('dangling link target does not match', ('/sys/devices/gone', '5'), 1, not_found('/sys/devices/gone'),
         setup=f'ln -s ../../devices/gone {CLASS}/gone'),
    Case('empty class directory', (INTEL, '5'), 1, not_found(INTEL), setup=f'rm {CLASS}/*'),

    # failures
    Case('class directory missing', (INTEL, '5'), 1,
         class_dir_failed(error(errno.ENOENT)), setup=f'rm -r {CLASS}'),
    Case('class directory is a file', (INTEL, '5'), 1,
         class_dir_failed(error(errno.ENOTDIR)), setup=f'rm -r {CLASS}; : >{CLASS}'),
    Case('brightness missing', (INTEL, '5'), 1, open_failed(error(errno.ENOENT)),
         setup=f'rm {INTEL}/brightness'),
    Case('brightness is a directory', (INTEL, '5'), 1, open_failed(error(errno.EISDIR)),
         setup=f'rm {INTEL}/brightness; mkdir {INTEL}/brightness'),
    Case('write error', (INTEL, '5'), 1, write_failed(error(errno.ENOSPC)),
         setup=f'ln -sf /dev/full {INTEL}/brightness'),
    *[Case(f'short write: {taken} of 3 bytes taken', (INTEL, '120'), 1, wrong_length(taken, 3),
           wrap=INJECT + (f'inject=write:retval={taken}:when=1',)) for taken in (1, 0)],
    Case('stdin and stderr closed: the message of a short write never reaches the attribute', (INTEL, '120'), 1, '',
         wrap=INJECT + ('inject=write:retval=1:when=1',) + CLOSED),
    # A read-only /dev/null in the sandbox's mount namespace refuses O_RDWR.
    Case('stdin closed and /dev/null cannot be opened', (INTEL, '120'), 1, no_null_device(error(errno.EROFS)),
         setup=': >/sys/devices/null; mount -o bind,ro /sys/devices/null /dev/null', wrap=CLOSED_STDIN),
    Case('kernel refuses the value', (INTEL, '4294967296'), 1, write_failed(error(errno.EINVAL)),
         wrap=INJECT + ('inject=write:error=EINVAL:when=1',)),
]


def compare(got, want):
    return [f'{what}: got {g!r}, want {w!r}' for what, g, w in zip(('status', 'stdout', 'stderr', 'written'), got, want)
            if g != w]


def trace(args):
    """Runs lumivar under strace; returns (status, stderr, trace lines)."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, 'trace')
        (status, _, err, _), _ = run(args, wrap=('strace', '-o', log, '-e', 'trace=%file,%desc'))
        with open(log, encoding='utf-8') as f:
            return status, err, [re.sub(r'\s+= ', ' = ', ln) for ln in f.read().splitlines()]


def check_write_trace():
    status, err, lines = trace((INTEL, '120'))
    problems = compare((status, b'', err), (0, b'', ''))
    attribute = CLASS + '/intel_backlight/brightness'
    dir_fd = next((m[1] for m in (re.match(rf'{OPENED}"{CLASS}", .*\) = (\d+)', ln) for ln in lines) if m), None)
    written, fd = write_problems(lines, attribute, '120')
    problems += written
    if fd:
        opened = next(i for i, ln in enumerate(lines) if f'"{attribute}"' in ln)
        closes = [ln for ln in lines[opened + 1:] if ln.startswith('close(')]
        if closes != [f'close({fd}) = 0', f'close({dir_fd}) = 0']:
            problems.append(f'closes after the open: {closes}, want the file, then the directory')
    return problems


def check_closed_trace():
    """Started with stdin and stderr closed, and a short write injected:
    /dev/null is opened as 0 and 2 and nowhere else, and the write is made."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, 'trace')
        inject = ('strace', '-o', log, '-P', INTEL + '/brightness', '-P', '/dev/null', '-e',
                  'inject=write:retval=1:when=1')
        got, _ = run((INTEL, '120'), wrap=inject + CLOSED)
        with open(log, encoding='utf-8') as f:
            lines = [re.sub(r'\s+= ', ' = ', ln) for ln in f.read().splitlines()]
    problems = compare(got, (1, b'', '', {}))
    opens = [ln for ln in lines if '"/dev/null"' in ln]
    null = rf'{OPENED}"/dev/null", O_RDWR(?:\|O_LARGEFILE)?\) = '
    if len(opens) != 2 or not all(re.fullmatch(null + fd, ln) for ln, fd in zip(opens, '02')):
        problems.append(f'/dev/null opened: {opens}, want as 0 and as 2')
    if not any(re.fullmatch(r'write\(\d+, "120", 3\) = 1 \(INJECTED\)', ln) for ln in lines):
        problems.append(f'the write was not made: {lines}')
    return problems


def check_range_trace():
    status, err, lines = trace((INTEL, '9' * 20))
    problems = compare((status, b'', err), (1, b'', RANGE))
    if any('/sys/class/backlight' in line for line in lines):
        problems.append('the class directory was touched after a refused brightness')
    return problems


def unfit(case, traces):
    """Why the case cannot run here, if it cannot."""
    if case.wrap[:1] == ('strace',) and not traces:
        return 'strace cannot trace here'
    if case.wrap[:1] == SETPRIV and os.getuid() != 0:
        return 'changing user IDs needs real root'
    if case.wrap[:1] == (EXEC_ARGV,) and VALGRIND:
        return 'valgrind replaces the program name'
    if case.wrap[:1] == (EXEC_ARGV,) and not NAMES_COME_THROUGH:
        return 'the program name does not come through here (an emulator replaces it)'
    if '--euid=1000' in case.wrap and VALGRIND:
        return 'under valgrind the effective user ID turns back to 0'
    if '--euid=1000' in case.wrap and SANITIZED:
        return 'the sanitizer runtime cannot read its options where the effective user ID is not 0'
    if case.wrap == CLOSED_STDIN and VALGRIND:
        return 'valgrind opens a file of its own as the descriptor left closed'
    if case.wrap == ERRNO_SET and NO_READELF:
        return NO_READELF
    if case.wrap == ERRNO_SET and STATIC:
        return 'a static program loads no preloaded library'
    if case.wrap == ERRNO_SET and FOREIGN_C_LIBRARY:
        return "valgrind's launcher would load the library, which is built for another C library"
    return None


def host_brightness():
    """What each brightness file of the host's backlight class holds."""
    levels = {}
    for entry in os.listdir(CLASS) if os.path.isdir(CLASS) else ():
        with open(os.path.join(CLASS, entry, 'brightness'), encoding='utf-8') as f:
            levels[entry] = f.read()
    return levels


def main():
    reason = sandbox_missing('backlight-sandbox')
    if reason:
        skip_all(reason)
    if VALGRIND:
        reason = NO_READELF or valgrind_runs(VALGRIND)
        if reason:
            skip_all(reason)
    traces = strace_traces()
    tap = Tap()
    host = host_brightness()
    # Cases that run as another user run a copy in a directory that every user
    # can enter: the build tree may lie below one that only its owner can
    # (root's home, say), and valgrind reads the program as the real user.
    with tempfile.TemporaryDirectory() as public:
        os.chmod(public, 0o755)
        copy = shutil.copy2(LUMIVAR, public)
        for case in CASES:
            reason = unfit(case, traces)
            if reason:
                tap.skip(case.name, reason)
                continue

            def one_case(case=case):
                got, problems = run(case.args, case.setup, case.wrap, copy if case.wrap[:1] == SETPRIV else LUMIVAR)
                return compare(got, (case.status, b'', case.err, case.written)) + problems
            tap.attempt(case.name, one_case)
    if not VALGRIND:  # the traces would be valgrind's
        for name, check in (('trace: class-entry path, O_WRONLY, one write, file closed before directory',
                             check_write_trace),
                            ('trace: a refused brightness never opens the class directory', check_range_trace),
                            ('trace: stdin and stderr closed: /dev/null as 0 and 2 alone, and the write made',
                             check_closed_trace)):
            if traces:
                tap.attempt(name, check)
            else:
                tap.skip(name, 'strace cannot trace here')
    name = "the host's backlights keep their brightness"
    if host:
        tap.check(name, [f'before {host}, after {host_brightness()}'] if host_brightness() != host else [])
    else:
        tap.skip(name, 'the host has no backlight to compare')
    tap.done()


main()
