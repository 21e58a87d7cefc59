#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
# needed.sh [--reads-environment] [--forks] BINARY REFERENCE LIBRARY...: the
# binary's NEEDED entries are exactly LIBRARY... and the C library, and it
# imports nothing that loads code or starts a program, nor, unless it is
# said to, anything that reads the environment or forks. The C library is what
# REFERENCE, a program of C calls alone built by the same toolchain, needs:
# libc.so.6 for glibc, libc.so for musl. Where the target's ABI keeps the
# stack guard in the dynamic loader (__stack_chk_guard: arm, aarch64,
# riscv64), the loader is part of the C library and needed too.
set -eu
environment='(secure_)?getenv|'
[ "$1" != --reads-environment ] || { environment=; shift; }
forks='v?fork|'
[ "$1" != --forks ] || { forks=vfork\|; shift; }
bin=$1
reference=$2
shift 2
needed() {
	readelf -d "$1" | sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p'
}
imports=$(objdump -T "$bin" | awk '/\*UND\*/ { print $NF }')
loader=
if printf '%s\n' "$imports" | grep -q -x '__stack_chk_guard'; then
	loader=$(readelf -lW "$bin" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
	loader=${loader##*/}
fi
got=$(needed "$bin" | sort)
# shellcheck disable=SC2046 # one library a word
want=$(printf '%s\n' "$@" $(needed "$reference") ${loader:+"$loader"} | sort -u)
if [ "$got" != "$want" ]; then
	printf '%s needs:\n%s\nwant:\n%s\n' "$bin" "$got" "$want" >&2
	exit 1
fi
forbidden=$(printf '%s\n' "$imports" |
	grep -E "^(${environment}setlocale|dl(open|mopen|sym)|exec.*|posix_spawn.*|${forks}system|popen)\$" || true)
if [ -n "$forbidden" ]; then
	printf '%s imports:\n%s\n' "$bin" "$forbidden" >&2
	exit 1
fi
