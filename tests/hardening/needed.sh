#!/bin/sh
# needed.sh BINARY LIBRARY...: the binary's NEEDED entries are exactly
# LIBRARY..., and it imports nothing that reads the environment, loads code or
# starts a process.
set -eu
bin=$1
shift
got=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p' | sort)
want=$(printf '%s\n' "$@" | sort)
if [ "$got" != "$want" ]; then
	printf '%s needs:\n%s\nwant:\n%s\n' "$bin" "$got" "$want" >&2
	exit 1
fi
forbidden=$(objdump -T "$bin" | awk '/\*UND\*/ { print $NF }' |
	grep -E '^(secure_)?getenv$|^setlocale$|^dl(open|mopen|sym)$|^exec|^posix_spawn|^v?fork$|^system$|^popen$' || true)
if [ -n "$forbidden" ]; then
	printf '%s imports:\n%s\n' "$bin" "$forbidden" >&2
	exit 1
fi
