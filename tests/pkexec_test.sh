#!/bin/bash
# lumivar started through pkexec, authorised by a real polkitd reading the
# installed action. Everything runs in private mount and PID namespaces inside
# the backlight sandbox: a tmpfs on /run holds a private system bus (its own
# configuration, no service activation), polkitd is started by hand, its
# action and rules directories are temporary copies, and the installed tree is
# laid over the host's where the action says lumivar is. Output is TAP.
#
# Environment: MESON, BUILD_ROOT, SANDBOX, LUMIVAR_PATH (the installed path)
# and POLICYDIR (where the action installs).
set -u
status= out= err=

readonly action=org.lumivar.set-brightness
readonly devpath=pci0000:00/0000:00:02.0/drm/card0/card0-eDP-1/intel_backlight
readonly device=/sys/devices/$devpath
readonly polkitd=/usr/lib/polkit-1/polkitd

skip_all() {
	echo "1..0 # SKIP $*"
	exit 0
}

# The nearest directory above lumivar's install path that the host has: the
# installed tree is laid over it.
anchor() {
	local dir=${LUMIVAR_PATH%/*}
	while [ ! -d "$dir" ]; do dir=${dir%/*}; done
	echo "${dir:-/}"
}

host_state() {
	find /run/dbus /etc/polkit-1 /usr/share/polkit-1 "$(anchor)" -maxdepth 2 \
		-printf '%p %m %s %T@\n' 2>/dev/null | sort | sha256sum
}

if [ "${1-}" != --inside ]; then
	[ "$(id -u)" -eq 0 ] || skip_all "pkexec and polkitd need real root"
	for tool in pkexec pkaction dbus-daemon "$polkitd"; do
		command -v "$tool" >/dev/null || skip_all "$tool is not installed"
	done
	unshare --mount --pid --fork --mount-proc true 2>/dev/null || skip_all "no private mount and PID namespaces"

	work=$(mktemp -d)
	trap 'rm -rf "$work"' EXIT
	chmod 755 "$work" # polkitd reads its copies here as its own user
	"$MESON" install -C "$BUILD_ROOT" --no-rebuild --destdir "$work/root" >/dev/null ||
		{ echo 'Bail out! meson install failed'; exit 1; }
	before=$(host_state)
	"$SANDBOX" --device "$devpath,raw,1200," -- \
		unshare --pid --fork --mount-proc "$BASH" "$0" --inside "$work" | tee "$work/tap"
	n=$(grep -c -E '^(not )?ok ' "$work/tap")
	# The inside writes "done" after its last check: without it, it died early.
	n=$((n + 1))
	if [ -f "$work/done" ]; then
		echo "ok $n - every check inside the namespaces ran"
	else
		echo "not ok $n - the namespaces ended before their checks did"
	fi
	n=$((n + 1))
	if [ "$(host_state)" = "$before" ]; then
		echo "ok $n - the host's /run/dbus, polkit directories and install tree are unchanged"
	else
		echo "not ok $n - the host's /run/dbus, polkit directories or install tree changed"
	fi
	echo "1..$n"
	! grep -q '^not ok' "$work/tap" && [ -f "$work/done" ] && [ "$(host_state)" = "$before" ]
	exit
fi

# Inside: PID 1 of the new PID namespace, in a private mount namespace.
work=$2
n=0
failed=0
check() { # NAME, then a command that must succeed
	local name=$1
	shift
	n=$((n + 1))
	if "$@"; then
		echo "ok $n - $name"
	else
		echo "not ok $n - $name"
		printf '# status %s, stdout %s, stderr %s\n' "$status" "$out" "$err"
		failed=1
	fi
}
brightness() { cat "$device/brightness"; }

# pkexec refuses to run for a process whose parent is PID 1, so each call
# goes through a shell of its own. pkexec runs lumivar in /root with a
# minimal environment: everything it is given is an absolute path.
run() { # USER COMMAND...: sets status, out, err
	local as=()
	[ "$1" = root ] || as=(setpriv --reuid="$1" --regid="$1" --clear-groups)
	shift
	status=0
	"${as[@]}" sh -c '"$@"; exit $?' sh "$@" >"$work/out" 2>"$work/err" || status=$?
	out=$(cat "$work/out")
	err=$(cat "$work/err")
}

mount -t tmpfs -o mode=0755 run /run
mkdir /run/dbus
cat >"$work/bus.conf" <<'EOF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile 2>>"$work/daemons.log" &
bus=$!

mkdir "$work/actions" "$work/rules" "$work/no-rules"
cp "$work/root$POLICYDIR/org.lumivar.policy" "$work/actions/"
# Grants the action to nobody, who has no session.
cat >"$work/rules/50-lumivar-test.rules" <<EOF
polkit.addRule(function(action, subject) {
	if (action.id == "$action" && subject.user == "nobody")
		return polkit.Result.YES;
});
EOF
chmod -R a+rX "$work/actions" "$work/rules" "$work/no-rules"
mount --bind "$work/actions" /usr/share/polkit-1/actions
mount --bind "$work/rules" /etc/polkit-1/rules.d
mount --bind "$work/no-rules" /usr/share/polkit-1/rules.d
top=$(anchor)
mount -t overlay overlay -o "lowerdir=$work/root$top:$top" "$top"

for _ in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.05; done
"$polkitd" --no-debug >>"$work/daemons.log" 2>&1 &
polkit=$!
for _ in $(seq 100); do pkaction --action-id "$action" >/dev/null 2>&1 && break; sleep 0.1; done

verbose=$(pkaction --action-id "$action" --verbose 2>&1)
check 'pkaction lists the action with the installed exec.path' \
	grep -q -F "org.freedesktop.policykit.exec.path -> $LUMIVAR_PATH" <<<"$verbose"

run root pkexec "$LUMIVAR_PATH" "$device" 120
check 'root: pkexec lumivar sets the brightness (status 0)' \
	test "$status:$out:$err:$(brightness)" = "0:::120"

run 1 pkexec "$LUMIVAR_PATH" "$device" 350
check "a user without a session is refused with pkexec's status 127" \
	test "$status:$out:$(brightness)" = "127::120"

run 65534 pkexec "$LUMIVAR_PATH" "$device" 350
check 'a user granted by a rule sets the brightness (status 0)' \
	test "$status:$out:$err:$(brightness)" = "0:::350"

run 65534 pkexec "$LUMIVAR_PATH" /sys/devices/none 200
check "lumivar's status 1 and message come through pkexec" \
	test "$status:$out:$err:$(brightness)" = '1::Error: Could not find the specified backlight "/sys/devices/none":350'

kill "$polkit" "$bus"
wait "$polkit" "$bus" 2>/dev/null
[ "$failed" -eq 0 ] || sed 's/^/# /' "$work/daemons.log"
touch "$work/done"
