# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""The check of an strace trace of a lumivar run that sets a value: the
brightness attribute is opened once, by its class-entry path, with O_WRONLY
alone (and the O_LARGEFILE that a C library may add: glibc on 32-bit
targets, musl everywhere), through open or openat as the C library calls
it, and the value is written to it in one call."""
import re

# How the C library opens a path: openat relative to the working directory
# (glibc) or open (musl).
OPENED = r'(?:openat\(AT_FDCWD, |open\()'


def write_problems(lines, attribute, value):
    """(problems, the attribute's descriptor) for the trace lines."""
    lines = [re.sub(r'\s+= ', ' = ', ln) for ln in lines]
    opens = [ln for ln in lines if f'"{attribute}"' in ln]
    m = re.fullmatch(rf'{OPENED}"{re.escape(attribute)}", O_WRONLY(?:\|O_LARGEFILE)?\) = (\d+)',
                     opens[0]) if len(opens) == 1 else None
    if not m:
        return [f'want one open of {attribute} with O_WRONLY alone: {opens}'], None
    fd = m[1]
    writes = [ln for ln in lines if ln.startswith('write(')]
    want = f'write({fd}, "{value}", {len(value)}) = {len(value)}'
    return ([] if writes == [want] else [f'writes: {writes}, want [{want!r}]']), fd
