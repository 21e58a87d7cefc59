// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// proxisonde: have libproxy look up the proxies for one fixed URL, once.
//
// A desktop starts this program so that whatever proxy discovery libproxy
// performs for the lookup (WPAD among it) happens in this short-lived process
// and not in the desktop's own. The caller watches for the end and kills the
// probe on its own timeout; the probe has none.
//
// Discovery may fetch a proxy auto-config script from whatever host answers
// on the local network and run it in libproxy's JavaScript engine. Before the
// library is called, the probe gives up what a lookup never needs: it sets
// no_new_privs, so that nothing it starts gains privileges, and where the
// kernel offers Landlock it handles every right that writes to the file
// system (writing to a file, making or removing any kind of entry,
// reparenting and truncating, as the kernel's Landlock ABI knows them) and
// grants none of them anywhere. Reading, executing and the network stay, as
// discovery needs them. Where the kernel has no Landlock the lookup runs as
// before; where it has and the probe cannot confine itself, no lookup runs.
//
// Arguments are ignored, no environment variable is read here (libproxy reads
// its own), nothing is printed and the status is always 0.

#include <errno.h>
#include <linux/landlock.h>
#include <proxy.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

// ABI 3 (Linux 6.2); older kernel headers lack it.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace {

// The root of a well-known public site: scheme and host, nothing after it.
constexpr char probe_url[] = "https://www.debian.org";

// The rights that write to the file system, by the Landlock ABI that brought
// them. ABIs 4 to 7 bring none: network ports, device ioctls, scopes, logs.
// A newer kernel gets the rights of the newest ABI known here.
constexpr __u64 writes_abi1 = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
	LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
	LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
	LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
constexpr __u64 writes_abi2 = writes_abi1 | LANDLOCK_ACCESS_FS_REFER;
constexpr __u64 writes_abi3 = writes_abi2 | LANDLOCK_ACCESS_FS_TRUNCATE;

// Gives up privilege gains and, where the kernel offers Landlock, every
// right that writes to the file system. Returns false where the kernel
// offers Landlock and the probe could not use it.
[[nodiscard]] bool confine()
{
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
		return false;
	long const abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
	if (abi < 0)
		// Not built into this kernel, or not among its active security modules.
		return errno == ENOSYS || errno == EOPNOTSUPP;

	landlock_ruleset_attr attr{};
	attr.handled_access_fs = writes_abi1;
	if (abi == 2)
		attr.handled_access_fs = writes_abi2;
	else if (abi >= 3)
		attr.handled_access_fs = writes_abi3;
	long const ruleset = syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
	if (ruleset < 0)
		return false;
	// No rule is added: the handled rights are granted nowhere.
	bool const restricted = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
	(void)close(static_cast<int>(ruleset));
	return restricted;
}

struct factory_free {
	void operator()(pxProxyFactory *factory) const noexcept { px_proxy_factory_free(factory); }
};

// The answer is a NULL-terminated array of strings, each from malloc, which
// the caller frees: every string, then the array.
struct proxies_free {
	void operator()(char **proxies) const noexcept
	{
		for (char **p = proxies; *p != nullptr; ++p)
			free(*p);
		free(static_cast<void *>(proxies));
	}
};

} // namespace

int main()
{
	// The lookup never runs with more rights than it needs.
	if (!confine())
		return 0;

	std::unique_ptr<pxProxyFactory, factory_free> const factory{px_proxy_factory_new()};
	// libproxy does not check its factory argument: without one, no lookup.
	if (!factory)
		return 0;

	// Only the discovery that the lookup causes matters, not its answer.
	std::unique_ptr<char *, proxies_free> const proxies{
		px_proxy_factory_get_proxies(factory.get(), probe_url)};
	return 0;
}
