#!/bin/sh
# needed.sh BINARY LIBRARY...: the binary's NEEDED entries are exactly LIBRARY...
set -eu
bin=$1
shift
got=$(readelf -d "$bin" | sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p' | sort)
want=$(printf '%s\n' "$@" | sort)
if [ "$got" != "$want" ]; then
	printf '%s needs:\n%s\nwant:\n%s\n' "$bin" "$got" "$want" >&2
	exit 1
fi
