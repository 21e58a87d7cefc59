# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""What lumivar says, byte for byte, as the tests expect it."""
import errno
import functools
import os
import subprocess

LUMIVAR = os.environ['LUMIVAR']


@functools.cache
def error(number):
    """How lumivar shows an error number, "NUMBER: TEXT", TEXT in the words
    of the C library it was built with (errno_text is built against it)."""
    line = subprocess.run([os.environ['ERRNO_TEXT'], str(number)], capture_output=True, text=True, check=True).stdout
    return line.rstrip('\n').replace(' ', ': ', 1)


def usage(name):
    return (f'Usage: {name} device brightness\n'
            '  device:      The backlight directory starting with "/sys/class/backlight/"\n'
            '  brightness:  The new brightness to write\n')


NOT_ROOT = 'This program can only be used by the root user\n'
COUNT = 'Error: Need to be called with exactly two arguments\n' + usage(LUMIVAR)


def range_refused():
    return f'Error: Invalid brightness argument ({error(errno.ERANGE)})\n' + usage(LUMIVAR)


def class_dir_failed(err):
    return f'Error: Could not open /sys/class/backlight ({err})\n'


def no_null_device(err):
    return f'Error: Could not open /dev/null ({err})\n'


def not_found(device):
    return f'Error: Could not find the specified backlight "{device}"\n'


def open_failed(err):
    return f'Error: Could not open brightness sysfs file ({err})\n'


def write_failed(err):
    return f'Error: Writing to file ({err})\n'


def wrong_length(written, length):
    return f'Error: Wrote the wrong length ({written} of {length} bytes)!\n'
