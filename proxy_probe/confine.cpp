// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The probe's confinement, set up before libproxy is called.
//
// Discovery may fetch a proxy auto-config script from whatever host answers
// to "wpad" on the local network and run it in libproxy's JavaScript engine,
// and libproxy's download and engine have had memory bugs that such a script
// reaches. So the probe gives up what a lookup never needs, for itself and
// whatever it starts, and a script that takes the engine over finds this:
//
// - no_new_privs: nothing the probe starts gains privileges;
// - descriptors 0, 1 and 2 open (on /dev/null where the caller left one
//   closed, so that nothing lands in a file or socket that takes its
//   number), and every other descriptor that the caller left open closed;
// - the lookup alone in a PID namespace of its own, where the kernel lets
//   the user make one: nothing that it starts outlives it, and no other
//   process is there to reach by its ID;
// - a limit on its data (RLIMIT_DATA), so that a script without end ends
//   the probe when the download reaches it, long before the caller's
//   timeout would. No limit on the size of the files it writes: the kernel
//   checks that one at every write to a regular file, the caller's own
//   stdout and stderr included, where a session log would end the writer;
// - Landlock (landlock.cpp): reading and executing only beneath what the
//   system ships, none of the users' places (places.cpp), of the user's
//   own files only the proxy settings; no write but dconf's flag files;
//   from its later ABIs no device ioctl, no TCP port to listen on, no
//   signal or abstract unix socket outside, no unix socket at a path;
// - a seccomp filter (filter.cpp) that refuses what an older Landlock ABI
//   cannot, or Landlock not at all: another process reached, a file's
//   metadata changed, the session's interprocess objects, a namespace.
//
// So from Landlock ABI 1 on, with the filter, nothing is written but dconf's
// flag files, nothing of the user's read but the settings, no device opened
// but the five, no other process reached; below ABI 5 the five take
// ioctls, and where the C library makes sockets through socketcall, the
// session's unix sockets stay open below ABI 6 (abstract) and 9 (at a path).
//
// What stays is what discovery needs: connecting out over TCP and UDP,
// reading the system's files, and starting the system's programs. Without
// unix sockets, names still resolve: the C library asks its cache daemon's
// socket first and, where that cannot be reached, the sources that
// nsswitch.conf names.
//
// Each part is first asked for: the namespace, the Landlock ABI, seccomp's
// filter mode, close_range, the limit. A part whose question the kernel
// answers with any error, whether it lacks the part or an outer sandbox (a
// container's or a service manager's seccomp profile) refuses the question,
// is missing, and the lookup runs with the rest; close_range's place is
// taken by a walk of /proc/self/fd. A part that the kernel has and then
// refuses (the namespace's IDs, a rule, the ruleset's restriction, the
// filter) means that no lookup runs.
//
// The data limit is measured: a WPAD lookup with libproxy 0.5, which
// downloads without a bound and runs scripts in duktape, works from 26 MiB
// on; the limit is 256 MiB, which an endless download at some 260 MB/s
// reaches within a second. libproxy 0.4 stops a download at its own bound,
// but may run the script in JavaScriptCore, which reserves 5.2 GiB of data
// at its first script (libproxy 0.4.18 with its webkit module): built
// against 0.4, the limit is 8 GiB.
//
// Of the environment this reads HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR,
// and only absolute paths of them, to find the user's data and settings
// (libproxy reads its own).

#include "confine.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "filter.h"
#include "landlock.h"
#include "scoped.h"

namespace {

[[nodiscard]] bool standard_descriptors();
[[nodiscard]] bool close_inherited();
[[nodiscard]] bool lookup_alone();
void lower_limit(int resource, const rlimit &to);

// The data limit, by the libproxy that the probe is built against (see
// above); none under AddressSanitizer, which reserves terabytes of shadow
// memory as data when it starts.
#ifdef PROBE_ADDRESS_SANITIZER
constexpr rlim_t data_limit = RLIM_INFINITY;
#elif LIBPROXY_0_4
// Where rlim_t is 32 bits, the address space is the bound.
constexpr rlim_t data_limit =
	static_cast<rlim_t>(std::min<unsigned long long>(8ULL << 30U, std::numeric_limits<rlim_t>::max()));
#else
constexpr rlim_t data_limit = rlim_t{256} << 20U;
#endif

} // namespace

bool confine()
{
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !standard_descriptors() || !close_inherited() ||
	    !lookup_alone())
		return false;
	lower_limit(RLIMIT_DATA, {data_limit, data_limit});
	return restrict_access() && filter_calls();
}

namespace {

// Opens /dev/null as each of 0, 1 and 2 that is closed.
bool standard_descriptors()
{
	for (int fd = 0; fd <= 2; ++fd) {
		if (fcntl(fd, F_GETFD) >= 0)
			continue;
		// The lowest free descriptor: this one, as those below it are open.
		if (errno != EBADF || open("/dev/null", O_RDWR) != fd)
			return false;
	}
	return true;
}

// Closes every descriptor above 2: through /proc where close_range fails.
bool close_inherited()
{
	if (syscall(nr_close_range, 3U, ~0U, 0U) == 0)
		return true;
	// Before Linux 5.9, or refused by an outer sandbox.
	unique_dir const open_fds{opendir("/proc/self/fd")};
	if (!open_fds)
		return false;
	int const own = dirfd(open_fds.get());
	for (dirent const *entry; (entry = readdir(open_fds.get())) != nullptr;) {
		char *end = nullptr;
		long const fd = strtol(entry->d_name, &end, 10);
		if (*end == '\0' && fd > 2 && fd != own)
			(void)close(static_cast<int>(fd));
	}
	return true;
}

// Writes the text into the file of /proc at path, whole.
template <size_t n>
[[nodiscard]] bool write_whole(const char *path, const char (&text)[n])
{
	fd_guard const file{open(path, O_WRONLY | O_CLOEXEC)};
	size_t const length = strlen(text);
	return file.fd >= 0 && write(file.fd, text, length) == static_cast<ssize_t>(length);
}

// In a user namespace of its own, the user's IDs as they are outside (the
// supplementary groups cannot be mapped, and show as the overflow group),
// and no capability.
[[nodiscard]] bool own_ids(uid_t uid, gid_t gid)
{
	char uid_map[64];
	char gid_map[64];
	(void)snprintf(uid_map, sizeof uid_map, "%u %u 1\n", static_cast<unsigned>(uid), static_cast<unsigned>(uid));
	(void)snprintf(gid_map, sizeof gid_map, "%u %u 1\n", static_cast<unsigned>(gid), static_cast<unsigned>(gid));
	__user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
	return write_whole("/proc/self/setgroups", "deny") && write_whole("/proc/self/uid_map", uid_map) &&
		write_whole("/proc/self/gid_map", gid_map) && syscall(SYS_capset, &header, none) == 0;
}

// Ends the probe as the lookup ended: by its signal, where one ended it (no
// core of the probe's own: the lookup's is the one that tells), or with 0.
[[noreturn]] void end_as(int status)
{
	if (WIFSIGNALED(status)) {
		int const sig = WTERMSIG(status);
		rlimit const no_core{0, 0};
		sigset_t only{};
		(void)setrlimit(RLIMIT_CORE, &no_core);
		(void)signal(sig, SIG_DFL);
		if (sigemptyset(&only) == 0 && sigaddset(&only, sig) == 0)
			(void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
		(void)raise(sig);
	}
	_exit(0);
}

// The lookup runs alone in a PID namespace of its own, as its first
// process: when it ends, the kernel ends whatever it started, however it
// was started (setsid, a double fork), and no other process is there to
// reach by its ID. The probe's first process stays outside and waits for
// it, unconfined but doing nothing else, and ends as it ended; where the
// first one ends first (the caller's kill on its timeout), the kernel ends
// the lookup. A user without CAP_SYS_ADMIN needs a user namespace of its
// own for the PID namespace, in which the lookup keeps the user's IDs and
// gives up the namespace's capabilities. Where the kernel refuses both (a
// kernel without them, unprivileged user namespaces restricted, as Ubuntu
// 24.04 does, a chroot, an outer sandbox), the lookup runs in the probe
// itself, and what it starts may outlive it. False where the lookup may not
// run.
bool lookup_alone()
{
#ifdef PROBE_ADDRESS_SANITIZER
	// Its leak checker reads the process's threads in /proc by the ID that
	// the process has in its own namespace, which /proc, of the namespace
	// outside, does not show.
	return true;
#endif
	uid_t const uid = geteuid();
	gid_t const gid = getegid();
	if (unshare(CLONE_NEWPID) != 0) {
		if (unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0)
			return true;
		if (!own_ids(uid, gid))
			return false;
	}
	// The first process holds the writing end for as long as it lives.
	int ends[2];
	if (pipe2(ends, O_CLOEXEC) != 0)
		return false;
	fd_guard const reading{ends[0]};
	pid_t const lookup = fork();
	if (lookup > 0) {
		// No handler of a signal interrupts the wait.
		int status = 0;
		(void)waitpid(lookup, &status, 0);
		end_as(status);
	}
	(void)close(ends[1]);
	if (lookup < 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
		return false;
	// Where the first process ended before the lookup asked for its
	// signal, the writing end is closed already.
	pollfd first{reading.fd, POLLIN, 0};
	return poll(&first, 1, 0) == 0;
}

// Lowers a limit to the value of to, and never raises it. Where the
// limit cannot be read or set, it stays as it is: lowering one fails only
// where an outer sandbox refuses the call.
void lower_limit(int resource, const rlimit &to)
{
	rlimit limit{};
	if (getrlimit(resource, &limit) != 0)
		return;
	limit.rlim_cur = std::min(limit.rlim_cur, to.rlim_cur);
	limit.rlim_max = std::min(limit.rlim_max, to.rlim_max);
	(void)setrlimit(resource, &limit);
}

} // namespace
