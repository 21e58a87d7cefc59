#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
# needed.sh BINARY LIBRARY...: the binary's NEEDED entries are exactly
# LIBRARY..., and it imports nothing that reads the environment, loads code or
# starts a process. Where the target's ABI keeps the stack guard in the
# dynamic loader (__stack_chk_guard: arm, aarch64, riscv64), the loader is
# part of the C library and needed too.
set -eu
bin=$1
shift
imports=$(objdump -T "$bin" | awk '/\*UND\*/ { print $NF }')
loader=
if printf '%s\n' "$imports" | grep -q -x '__stack_chk_guard'; then
	loader=$(readelf -lW "$bin" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
	loader=${loader##*/}
fi
got=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p' | sort)
want=$(printf '%s\n' "$@" ${loader:+"$loader"} | sort)
if [ "$got" != "$want" ]; then
	printf '%s needs:\n%s\nwant:\n%s\n' "$bin" "$got" "$want" >&2
	exit 1
fi
forbidden=$(printf '%s\n' "$imports" |
	grep -E '^(secure_)?getenv$|^setlocale$|^dl(open|mopen|sym)$|^exec|^posix_spawn|^v?fork$|^system$|^popen$' || true)
if [ -n "$forbidden" ]; then
	printf '%s imports:\n%s\n' "$bin" "$forbidden" >&2
	exit 1
fi
