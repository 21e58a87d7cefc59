#!/bin/sh
# hardening.sh [--stack-protector] [--fortified] BINARY: checks how the
# program was built and linked. The options say that the compiler has put
# stack protection, or fortified calls, into this program, so they must be
# there. Its objects are looked for in BINARY.p/.
set -u
protector='' fortified=''
[ "$1" = --stack-protector ] && { protector=1; shift; }
[ "$1" = --fortified ] && { fortified=1; shift; }
bin=$1
fail=0
need() { # WHAT, then a command that must succeed
	what=$1
	shift
	"$@" >/dev/null 2>&1 || { echo "$bin: $what" >&2; fail=1; }
}

need 'not PIE (ELF type DYN)' sh -c "readelf -h '$bin' | grep -q 'Type: *DYN'"
need 'no BIND_NOW' sh -c "readelf -d '$bin' | grep -q -E '\(FLAGS\).*BIND_NOW'"
need 'no GNU_RELRO' sh -c "readelf -lW '$bin' | grep -q GNU_RELRO"
need 'stack not marked non-executable' sh -c "readelf -lW '$bin' | grep -E 'GNU_STACK' | grep -q ' RW '"
need 'main does not begin with endbr64' sh -c \
	"objdump -d --no-show-raw-insn --disassemble=main '$bin' | grep -A1 '<main>:' | grep -q endbr64"
# The start files of the C runtime carry no IBT/SHSTK property, so the
# program cannot either; its own objects must.
for obj in "$bin".p/*.o; do
	need "$obj: not built with -fcf-protection" sh -c "readelf -n '$obj' | grep -q 'x86 feature: IBT, SHSTK'"
done
[ -z "$protector" ] || need 'no stack protector' sh -c "objdump -T '$bin' | grep -q '__stack_chk_fail'"
[ -z "$fortified" ] || need 'no fortified calls' sh -c "objdump -T '$bin' | grep -q -E '__[a-z]+_chk\$'"
exit $fail
