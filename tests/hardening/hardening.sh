#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
# hardening.sh [--stack-protector] [--fortified] BINARY: checks how the
# program was built and linked. The options say that the compiler has put
# stack protection, or fortified calls, into this program, so they must be
# there.
#
# hardening.sh --control-flow CPU_FAMILY BINARY: checks the target's own
# control-flow protection, which is in effect: CET on x86 (on x86_64 its
# objects, looked for in BINARY.p/, carry the IBT/SHSTK property too), BTI
# and PAC on aarch64.
# hardening.sh --no-control-flow CPU_FAMILY BINARY: skips that check.
set -u
protector='' fortified='' control_flow=''
case $1 in
--control-flow) control_flow=$2; shift 2 ;;
--no-control-flow)
	echo "no control-flow protection in effect for $2: the target has none, or the flags turn it off"
	exit 77
	;;
esac
[ "$1" = --stack-protector ] && { protector=1; shift; }
[ "$1" = --fortified ] && { fortified=1; shift; }
bin=$1
fail=0
need() { # WHAT, then a command that must succeed
	what=$1
	shift
	"$@" >/dev/null 2>&1 || { echo "$bin: $what" >&2; fail=1; }
}
# shellcheck disable=SC2317,SC2329 # called through need
main_begins_with() { # PATTERN: main's first instruction matches it
	objdump -d --no-show-raw-insn --disassemble=main "$bin" | grep -A1 '<main>:' | tail -n 1 | grep -q -E "$1"
}

case $control_flow in
'') ;;
x86_64)
	need 'main does not begin with endbr64' main_begins_with endbr64
	# The start files of the C runtime carry no IBT/SHSTK property, so the
	# program cannot either; its own objects must.
	for obj in "$bin".p/*.o; do
		need "$obj: not built with -fcf-protection" sh -c "readelf -n '$obj' | grep -q 'x86 feature: IBT, SHSTK'"
	done
	;;
x86) need 'main does not begin with endbr32' main_begins_with endbr32 ;;
aarch64)
	need 'no "AArch64 feature: BTI, PAC" note' sh -c "readelf -n '$bin' | grep -q 'AArch64 feature: BTI, PAC'"
	# A landing pad: a non-leaf function signs its return address first.
	need 'main does not begin with a landing pad' main_begins_with 'paciasp|pacibsp|bti[[:space:]]+j?c'
	;;
*) echo "hardening.sh: no check of control-flow protection for $control_flow" >&2; exit 1 ;;
esac
[ -z "$control_flow" ] || exit $fail

need 'not PIE (ELF type DYN)' sh -c "readelf -h '$bin' | grep -q 'Type: *DYN'"
need 'no BIND_NOW' sh -c "readelf -d '$bin' | grep -q -E '\(FLAGS\).*BIND_NOW'"
need 'no GNU_RELRO' sh -c "readelf -lW '$bin' | grep -q GNU_RELRO"
need 'stack not marked non-executable' sh -c "readelf -lW '$bin' | grep -E 'GNU_STACK' | grep -q ' RW '"
[ -z "$protector" ] || need 'no stack protector' sh -c "objdump -T '$bin' | grep -q '__stack_chk_fail'"
# The checked variants: __NAME_chk, or __NAME_chkieee128 where long double is
# IEEE quad precision (ppc64el).
[ -z "$fortified" ] || need 'no fortified calls' sh -c "objdump -T '$bin' | grep -q -E '__[a-z]+_chk[a-z0-9]*\$'"
exit $fail
