// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The probe's Landlock ruleset, by the ABI that the kernel reports: reading
// and executing only beneath what the system ships, every entry of / but
// the users' places (places.cpp); in /dev only null, zero, full, random and
// urandom, and in /proc only the probe's own process and the system's
// figures; of the user's own files, reading the proxy settings (the
// kioslaverc, and the directories of dconf, GSettings' store) and making
// and writing dconf's flag files; no other write of any kind anywhere; no
// device ioctl (ABI 5); no TCP port to listen on (ABI 4); no signal to, and
// no abstract unix socket of, a process outside the probe (ABI 6); no unix
// socket at a path made outside (ABI 9), which is how the session bus is
// reached. Rights of ABIs newer than 9 are not asked for: ABI 10's UDP
// rights would take the lookup's name resolution, which sends from a port
// that it binds implicitly.

#include "landlock.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/landlock.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "places.h"
#include "scoped.h"

// What older kernel headers lack, by the Landlock ABI that brought it.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14) // ABI 3
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0) // ABI 4
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15) // ABI 5
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0) // ABI 6
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1) // ABI 6
#endif
#ifndef LANDLOCK_ACCESS_FS_RESOLVE_UNIX
#define LANDLOCK_ACCESS_FS_RESOLVE_UNIX (1ULL << 16) // ABI 9
#endif

namespace {

// The kernel's struct landlock_ruleset_attr as ABI 6 has it; older headers
// know only its first field. A kernel of an older ABI takes the longer
// struct when the fields it does not know are zero.
struct ruleset_attr {
	__u64 handled_access_fs;
	__u64 handled_access_net;
	__u64 scoped;
};

constexpr __u64 fs_abi1 = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
	LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR |
	LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
	LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
	LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
// What is granted: to a directory, reading and executing beneath it; to a
// file, those of the rights that a file takes.
constexpr __u64 read_rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr __u64 file_rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
	LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV;
constexpr __u64 write_rights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE;

// The devices that a lookup opens (measured with libproxy 0.4 and its
// modules and helpers, and 0.5): /dev/urandom, and /dev/null for a helper's
// output; the others are as harmless. No terminal, camera or sound device.
constexpr const char *devices[] = {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"};

// Of /proc, what a lookup reads (measured as the devices): the probe's own
// process, where /proc/self leads, and the file systems; and the system's
// figures that C libraries and runtimes read, as harmless. No other
// process, whose environment, command line and memory are the users' data.
// The directories end in a slash.
constexpr const char *process_files[] = {"/proc/self/", "/proc/cpuinfo", "/proc/filesystems", "/proc/meminfo",
	"/proc/stat", "/proc/sys/", "/proc/uptime"};

// The ruleset being built, and the file system rights it handles.
struct ruleset {
	int fd = -1;
	__u64 handled = 0;
};

// What a rule is granted to.
enum class kind : bool { file, directory };

[[nodiscard]] ruleset_attr handled_by(long abi);
[[nodiscard]] bool grant_system(const ruleset &rules, const char *dir, const withheld &users);
[[nodiscard]] bool grant_settings(const ruleset &rules, const char *account_home);

} // namespace

// Landlock as the comment at the top says.
bool restrict_access()
{
	long const abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
	if (abi < 0)
		// Not built into this kernel, not among its active security
		// modules, or the question refused by an outer sandbox.
		return true;

	// The account's home, as the password database has it (a copy: the
	// database's own storage is reused by the next lookup).
	char account_home[PATH_MAX] = "";
	passwd const *const account = getpwuid(getuid());
	if (account != nullptr && account->pw_dir != nullptr)
		(void)snprintf(account_home, sizeof account_home, "%s", account->pw_dir);
	withheld users;
	if (!withhold_users(users, account_home))
		return false;
	ruleset_attr const attr = handled_by(abi);
	long const created = syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
	if (created < 0)
		return false;
	fd_guard const guard{static_cast<int>(created)};
	ruleset const rules{guard.fd, attr.handled_access_fs};
	return grant_system(rules, "/", users) && grant_settings(rules, account_home) &&
		syscall(SYS_landlock_restrict_self, rules.fd, 0) == 0;
}

namespace {

// The rights that the kernel's Landlock ABI can handle, of those asked for.
[[nodiscard]] ruleset_attr handled_by(long abi)
{
	ruleset_attr attr{};
	attr.handled_access_fs = fs_abi1;
	if (abi >= 2)
		attr.handled_access_fs |= LANDLOCK_ACCESS_FS_REFER;
	if (abi >= 3)
		attr.handled_access_fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
	if (abi >= 4)
		attr.handled_access_net = LANDLOCK_ACCESS_NET_BIND_TCP;
	if (abi >= 5)
		attr.handled_access_fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
	if (abi >= 6)
		attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
	if (abi >= 9)
		attr.handled_access_fs |= LANDLOCK_ACCESS_FS_RESOLVE_UNIX;
	return attr;
}

// Grants rights beneath the directory open as target (O_PATH), or those
// that a file takes to any other file. Returns false where the kernel
// refuses the rule.
[[nodiscard]] bool add_rule(const ruleset &rules, int target, kind is, __u64 rights)
{
	landlock_path_beneath_attr rule{};
	rule.allowed_access = rights & rules.handled & (is == kind::directory ? ~__u64{0} : file_rights);
	rule.parent_fd = target;
	return syscall(SYS_landlock_add_rule, rules.fd, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// Grants rights beneath path where it is a directory, or those that a file
// takes to the file at path. A path that cannot be opened as such gets
// nothing.
[[nodiscard]] bool grant(const ruleset &rules, const char *path, kind is, __u64 rights)
{
	fd_guard const target{open(path, O_PATH | O_CLOEXEC | (is == kind::directory ? O_DIRECTORY : 0))};
	return target.fd < 0 || add_rule(rules, target.fd, is, rights);
}

// Grants rights to each of the paths, where those that end in a slash are
// directories (and others get nothing).
template <size_t n>
[[nodiscard]] bool grant_each(const ruleset &rules, const char *const (&paths)[n], __u64 rights)
{
	return std::all_of(std::begin(paths), std::end(paths), [&rules, rights](const char *path) {
		return grant(rules, path, path[strlen(path) - 1] == '/' ? kind::directory : kind::file, rights);
	});
}

// The O_PATH descriptors that one directory's rules are made with, a run of
// consecutive numbers: closed together when the walk leaves the directory
// or enters one in it, or where they run out, or where the next one does
// not continue the run.
class descriptor_run {
	int first = -1;
	int last = -1;

public:
	descriptor_run() = default;
	descriptor_run(const descriptor_run &) = delete;
	descriptor_run &operator=(const descriptor_run &) = delete;
	~descriptor_run() { close_all(); }

	void close_all() noexcept
	{
		if (first >= 0 && syscall(nr_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0U) != 0)
			for (int fd = first; fd <= last; ++fd)
				(void)close(fd);
		first = last = -1;
	}

	// The entry name of the directory open as at, not followed where it is
	// a link; -1 where it cannot be opened.
	int open(int at, const char *name) noexcept
	{
		int fd = openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
		if (fd < 0 && errno == EMFILE && first >= 0) {
			close_all();
			fd = openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
		}
		if (fd < 0)
			return fd;
		if (fd != last + 1)
			close_all();
		if (first < 0)
			first = fd;
		last = fd;
		return fd;
	}
};

// The type of the entry of the directory open as at (S_IFDIR and the
// like): from the entry itself where the file system leaves it unknown,
// and a link where it cannot be told.
[[nodiscard]] mode_t entry_type(int at, const dirent &entry)
{
	if (entry.d_type != DT_UNKNOWN)
		return DTTOIF(entry.d_type);
	struct stat st {};
	return fstatat(at, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_mode & S_IFMT : S_IFLNK;
}

// Grants reading and executing beneath each entry of the canonical directory
// dir, but not to a withheld place nor anything beneath one: an entry that
// holds one is walked in turn, and a directory that cannot be listed gets
// nothing. A symbolic link gets nothing either: Landlock checks the file
// that a path leads to, which the walk meets where it is. Of /dev and
// /proc, only what the lists above name is granted.
[[nodiscard]] bool grant_system(const ruleset &rules, const char *dir, const withheld &users)
{
	if (strcmp(dir, "/dev") == 0)
		return grant_each(rules, devices, write_rights | LANDLOCK_ACCESS_FS_TRUNCATE);
	if (strcmp(dir, "/proc") == 0)
		return grant_each(rules, process_files, read_rights);
	unique_dir const listing{opendir(dir)};
	int const at = listing ? dirfd(listing.get()) : -1;
	if (at < 0)
		return true;
	descriptor_run targets;
	for (dirent const *entry; (entry = readdir(listing.get())) != nullptr;) {
		mode_t const type = entry_type(at, *entry);
		char path[PATH_MAX];
		if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0 || S_ISLNK(type) ||
		    !join(path, dir, entry->d_name) || is_withheld(users, path))
			continue;
		bool granted = true;
		if (holds_withheld(users, path) || strcmp(path, "/proc") == 0 || strcmp(path, "/dev") == 0) {
			// Each level keeps its listing open, and no more.
			targets.close_all();
			granted = grant_system(rules, path, users);
		} else {
			int const target = targets.open(at, entry->d_name);
			granted = target < 0 || add_rule(rules, target, S_ISDIR(type) ? kind::directory : kind::file, read_rights);
		}
		if (!granted)
			return false;
	}
	return true;
}

// Grants the rights to dir/name, where dir is absolute: beneath it where
// it is a directory, to the file otherwise.
[[nodiscard]] bool grant_in(const ruleset &rules, const char *dir, const char *name, kind is, __u64 rights)
{
	char path[PATH_MAX];
	return dir == nullptr || dir[0] != '/' || !join(path, dir, name) || grant(rules, path, is, rights);
}

// Of the user's own files, the settings that libproxy's configuration
// modules read: the kioslaverc in the configuration directory, and the
// directories in which dconf, GSettings' store, keeps the user's
// databases, each under the name that the profile gives it: dconf in the
// configuration directory (user-db:NAME) and dconf-service in the runtime
// directory (service-db:keyfile/NAME). The rule on a directory holds for
// each database that dconf's service renames into it at a change; the rule
// on the kioslaverc, for the file that is there now. For each database of
// the user's, dconf opens a flag file in dconf in the runtime directory for
// writing, and makes it where it is missing (its service removes it at
// each change): the probe makes that directory where it is missing, as any
// GSettings client would, and grants making, reading and writing regular
// files in it, the directory itself and not through a link. Nothing keeps
// a flag file small: a size limit would hold for the caller's stdout and
// stderr too.
[[nodiscard]] bool grant_settings(const ruleset &rules, const char *account_home)
{
	// Where the settings are: $XDG_CONFIG_HOME, or .config in $HOME, or in
	// the password database's home where $HOME is not absolute.
	char config[PATH_MAX] = "";
	const char *const xdg = getenv("XDG_CONFIG_HOME");
	const char *const env_home = getenv("HOME");
	const char *const home = env_home != nullptr && env_home[0] == '/' ? env_home : account_home;
	if (xdg != nullptr && xdg[0] == '/') {
		if (snprintf(config, sizeof config, "%s", xdg) >= static_cast<int>(sizeof config))
			config[0] = '\0';
	} else if (home != nullptr && home[0] == '/' && !join(config, home, ".config"))
		config[0] = '\0';
	constexpr __u64 reading = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
	const char *const runtime = getenv("XDG_RUNTIME_DIR");
	if (!grant_in(rules, config, "kioslaverc", kind::file, LANDLOCK_ACCESS_FS_READ_FILE) ||
	    !grant_in(rules, config, "dconf", kind::directory, reading) ||
	    !grant_in(rules, runtime, "dconf-service", kind::directory, reading))
		return false;

	char flags[PATH_MAX];
	if (runtime == nullptr || runtime[0] != '/' || !join(flags, runtime, "dconf"))
		return true;
	// Made only in a runtime directory that is the user's alone, as the
	// XDG base directories want it.
	struct stat st {};
	if (stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() && (st.st_mode & 077) == 0)
		(void)mkdir(flags, 0700);
	fd_guard const target{open(flags, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
	return target.fd < 0 ||
		add_rule(rules, target.fd, kind::directory, reading | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG);
}

} // namespace
