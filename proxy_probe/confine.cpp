// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The probe's confinement, set up before libproxy is called.
//
// Discovery may fetch a proxy auto-config script from whatever host answers
// to "wpad" on the local network and run it in libproxy's JavaScript engine,
// and libproxy's download and engine have had memory bugs that such a script
// reaches. So before the library is called, the probe gives up what a lookup
// never needs, and a script that takes the engine over finds this:
//
// - no_new_privs: nothing the probe starts gains privileges;
// - no descriptor but 0, 1 and 2: whatever else the caller left open is
//   closed;
// - a limit on its data (RLIMIT_DATA): a script without end ends the probe
//   when the download reaches it, long before the caller's timeout would;
// - Landlock, by the ABI the kernel reports: reading and executing only
//   beneath what the system ships, which is every entry of / but the users'
//   data (home directories and $HOME, /root, /tmp, /var/tmp, /var/mail,
//   /run/user, /media, /mnt, /dev/shm, and the entries of /proc of every
//   process but the probe's own); of the user's own files, only the
//   settings that libproxy's configuration modules read (the kioslaverc and
//   GSettings' database); no write of any kind anywhere; no device ioctl
//   (ABI 5); no TCP port to listen on (ABI 4); no signal to, and no abstract
//   unix socket of, a process outside the probe (ABI 6); no unix socket at a
//   path made outside (ABI 9), which is how the session bus is reached;
// - a seccomp filter, the architecture checked first, that refuses (EPERM)
//   changing a file's mode, owner, times, extended attributes or flags, for
//   which Landlock has no right; io_uring, whose operations would pass the
//   filter unseen; and making a unix socket, so that no socket of the
//   session can be reached on a kernel older than ABI 9 either (where the
//   C library makes sockets through socketcall(2), as on i386 and s390x,
//   the filter cannot see which kind, and lets them be).
//
// What stays is what discovery needs: connecting out over TCP and UDP,
// reading the system's files, and starting the system's programs. A kernel
// older than an ABI lacks what it brings. A kernel without a part
// (Landlock: ENOSYS or EOPNOTSUPP; seccomp: ENOSYS) leaves the lookup to run
// with the rest; a part that the kernel has and refuses means that no
// lookup runs. Rights of ABIs newer than 9 are not asked for: ABI 10's UDP
// rights would take the lookup's name resolution, which sends from a port
// that it binds implicitly. Without unix sockets, names still resolve: the
// C library asks its cache daemon's socket first and, where that cannot be
// reached, the sources that nsswitch.conf names.
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
// to find the user's data and settings (libproxy reads its own).

#include "confine.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <memory>

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

// Calls that older kernel headers lack: close_range (Linux 5.9), and those
// that the filter refuses, by the numbers that they have on every
// architecture that the filter knows.
#ifdef __NR_close_range
constexpr long nr_close_range = __NR_close_range;
#else
constexpr long nr_close_range = 436;
#endif
constexpr long nr_fchmodat2 = 452;
constexpr long nr_setxattrat = 463;
constexpr long nr_removexattrat = 466;
constexpr long nr_file_setattr = 469;

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
// file, those of them that a file takes.
constexpr __u64 read_rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr __u64 file_rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE;

// The users' data: their homes, and where their files are kept for a while.
// $HOME joins them.
constexpr const char *users_places[] = {
	"/home", "/root", "/tmp", "/var/tmp", "/var/mail", "/run/user", "/media", "/mnt", "/dev/shm",
};

// The withheld places by their canonical paths. Arrays of C, as what
// std::array checks would take libstdc++ (GCC 13 and later assert out of
// line).
struct withheld {
	char paths[std::size(users_places) + 1][PATH_MAX]{};
	size_t count = 0;
};

// The data limit, by the libproxy that the probe is built against (see
// above); none under AddressSanitizer, which reserves terabytes of shadow
// memory as data when it starts.
#ifdef __SANITIZE_ADDRESS__
#define PROBE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PROBE_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef PROBE_ADDRESS_SANITIZER
constexpr rlim_t data_limit = RLIM_INFINITY;
#elif LIBPROXY_0_4
// Where rlim_t is 32 bits, the address space is the bound.
constexpr rlim_t data_limit =
	static_cast<rlim_t>(std::min<unsigned long long>(8ULL << 30U, std::numeric_limits<rlim_t>::max()));
#else
constexpr rlim_t data_limit = rlim_t{256} << 20U;
#endif

// The architecture whose system call numbers the filter names, as the kernel
// reports it to a filter; 0 where the filter does not know the target, which
// then goes without one.
#if defined(__x86_64__) && !defined(__ILP32__)
constexpr __u32 filter_arch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr __u32 filter_arch = AUDIT_ARCH_I386;
#elif defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr __u32 filter_arch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && defined(__ARM_EABI__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr __u32 filter_arch = AUDIT_ARCH_ARM;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr __u32 filter_arch = AUDIT_ARCH_PPC64LE;
#elif defined(__powerpc64__)
constexpr __u32 filter_arch = AUDIT_ARCH_PPC64;
#elif defined(__riscv) && __riscv_xlen == 64
constexpr __u32 filter_arch = AUDIT_ARCH_RISCV64;
#elif defined(__s390x__)
constexpr __u32 filter_arch = AUDIT_ARCH_S390X;
#elif defined(__loongarch64) && defined(AUDIT_ARCH_LOONGARCH64)
constexpr __u32 filter_arch = AUDIT_ARCH_LOONGARCH64;
#else
constexpr __u32 filter_arch = 0;
#endif

// What the filter refuses outright: each call that changes a file's mode,
// owner, times, extended attributes or flags, as the target has it, and
// io_uring_setup.
constexpr long refused_calls[] = {
#ifdef __NR_chmod
	__NR_chmod,
#endif
	__NR_fchmod, __NR_fchmodat, nr_fchmodat2,
#ifdef __NR_chown
	__NR_chown,
#endif
#ifdef __NR_lchown
	__NR_lchown,
#endif
	__NR_fchown, __NR_fchownat,
#ifdef __NR_chown32
	__NR_chown32, __NR_lchown32, __NR_fchown32,
#endif
#ifdef __NR_utime
	__NR_utime,
#endif
#ifdef __NR_utimes
	__NR_utimes,
#endif
#ifdef __NR_futimesat
	__NR_futimesat,
#endif
	__NR_utimensat,
#ifdef __NR_utimensat_time64
	__NR_utimensat_time64,
#endif
	__NR_setxattr, __NR_lsetxattr, __NR_fsetxattr, nr_setxattrat, __NR_removexattr, __NR_lremovexattr,
	__NR_fremovexattr, nr_removexattrat, nr_file_setattr, __NR_io_uring_setup,
};

constexpr sock_filter statement(__u16 code, __u32 k)
{
	return {code, 0, 0, k};
}

constexpr sock_filter jump(__u16 code, __u32 k, __u8 jump_true, __u8 jump_false)
{
	return {code, jump_true, jump_false, k};
}

// A program of classic BPF, whose jumps go forward only: the architecture,
// or kill; the number (on x86-64 an x32 call: kill); a refused call, or
// socket() with AF_UNIX as its first argument (its low 32 bits, which are
// what the kernel reads), refuse; anything else, allow.
constexpr bool x32_possible = filter_arch == AUDIT_ARCH_X86_64;
constexpr size_t refused_count = std::size(refused_calls);
constexpr size_t filter_size = 3 + (x32_possible ? 1 : 0) + refused_count + 3 + 3;
static_assert(filter_size < 256, "each jump reaches the end");
constexpr __u32 first_argument =
	offsetof(seccomp_data, args) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? sizeof(__u32) : 0);

constexpr std::array<sock_filter, filter_size> metadata_filter()
{
	std::array<sock_filter, filter_size> filter{};
	size_t const allow = filter_size - 3;
	size_t const refuse = filter_size - 2;
	size_t const kill = filter_size - 1;
	size_t i = 0;
	// The distance from the instruction at i to the one at target.
	auto const to = [&i](size_t target) { return static_cast<__u8>(target - (i + 1)); };
	filter[i] = statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
	++i;
	filter[i] = jump(BPF_JMP | BPF_JEQ | BPF_K, filter_arch, 0, to(kill));
	++i;
	filter[i] = statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
	++i;
	if (x32_possible) {
		filter[i] = jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000U, to(kill), 0);
		++i;
	}
	for (long const call : refused_calls) {
		filter[i] = jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(call), to(refuse), 0);
		++i;
	}
	filter[i] = jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, to(allow));
	++i;
	filter[i] = statement(BPF_LD | BPF_W | BPF_ABS, first_argument);
	++i;
	filter[i] = jump(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, to(refuse), to(allow));
	filter[allow] = statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	filter[refuse] = statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);
	filter[kill] = statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
	return filter;
}

// Constant data, as seccomp() takes it.
constinit std::array<sock_filter, filter_size> metadata_program = metadata_filter();

struct dir_closer {
	void operator()(DIR *d) const noexcept { (void)closedir(d); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// Closes the descriptor when it leaves scope.
struct fd_guard {
	int const fd;
	explicit fd_guard(int f) noexcept : fd{f} {}
	fd_guard(const fd_guard &) = delete;
	fd_guard &operator=(const fd_guard &) = delete;
	~fd_guard()
	{
		if (fd >= 0)
			(void)close(fd);
	}
};

// Closes every descriptor above 2: through /proc before Linux 5.9.
[[nodiscard]] bool close_inherited()
{
	if (syscall(nr_close_range, 3U, ~0U, 0U) == 0)
		return true;
	if (errno != ENOSYS)
		return false;
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

// Lowers the data limit to data_limit, and never raises it.
[[nodiscard]] bool limit_data()
{
	rlimit limit{};
	if (getrlimit(RLIMIT_DATA, &limit) != 0)
		return false;
	limit.rlim_cur = std::min(limit.rlim_cur, data_limit);
	limit.rlim_max = std::min(limit.rlim_max, data_limit);
	return setrlimit(RLIMIT_DATA, &limit) == 0;
}

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

// Grants rights beneath path, or to the file itself where it is no
// directory. A path that cannot be opened gets nothing. Returns false where
// the kernel refuses the rule.
[[nodiscard]] bool grant(int ruleset, const char *path, __u64 rights)
{
	fd_guard const target{open(path, O_PATH | O_CLOEXEC)};
	struct stat st {};
	if (target.fd < 0 || fstat(target.fd, &st) != 0)
		return true;
	landlock_path_beneath_attr rule{};
	rule.allowed_access = S_ISDIR(st.st_mode) ? rights : rights & file_rights;
	rule.parent_fd = target.fd;
	return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// Whether path lies strictly beneath the directory dir (both canonical).
[[nodiscard]] bool beneath(const char *path, const char *dir)
{
	size_t const n = strcmp(dir, "/") == 0 ? 0 : strlen(dir);
	return strncmp(path, dir, n) == 0 && path[n] == '/' && path[n + 1] != '\0';
}

// Whether the canonical path is a withheld place or lies beneath one.
[[nodiscard]] bool is_withheld(const withheld &users, const char *path)
{
	for (size_t i = 0; i < users.count; ++i)
		if (strcmp(path, users.paths[i]) == 0 || beneath(path, users.paths[i]))
			return true;
	return false;
}

// Whether a withheld place lies beneath the canonical path.
[[nodiscard]] bool holds_withheld(const withheld &users, const char *path)
{
	for (size_t i = 0; i < users.count; ++i)
		if (beneath(users.paths[i], path))
			return true;
	return false;
}

// Whether the entry of /proc named name is another process's: its
// environment, command line and memory map are the users' data too.
[[nodiscard]] bool other_process(const char *name)
{
	char *end = nullptr;
	long const pid = strtol(name, &end, 10);
	return end != name && *end == '\0' && pid != getpid();
}

// Grants reading and executing beneath each entry of the canonical directory
// dir, following links, but not to a withheld place nor anything beneath
// one: an entry that holds one is walked in turn, and one that does not
// resolve is passed over. /proc is walked too, and only the probe's own
// process of them is granted.
[[nodiscard]] bool grant_system(int ruleset, const char *dir, const withheld &users)
{
	unique_dir const listing{opendir(dir)};
	if (!listing)
		return false;
	bool const processes = strcmp(dir, "/proc") == 0;
	for (dirent const *entry; (entry = readdir(listing.get())) != nullptr;) {
		if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0 ||
		    (processes && other_process(entry->d_name)))
			continue;
		char path[PATH_MAX];
		char canonical[PATH_MAX];
		int const len = snprintf(path, sizeof path, "%s/%s", strcmp(dir, "/") == 0 ? "" : dir, entry->d_name);
		if (len < 0 || static_cast<size_t>(len) >= sizeof path || realpath(path, canonical) == nullptr ||
		    is_withheld(users, canonical))
			continue;
		// A link that leads out of dir holds what its target's own parent
		// walks.
		bool const walk = holds_withheld(users, canonical) || strcmp(canonical, "/proc") == 0;
		bool const granted = !walk ? grant(ruleset, canonical, read_rights)
			: !beneath(canonical, dir) || grant_system(ruleset, canonical, users);
		if (!granted)
			return false;
	}
	return true;
}

// Grants rights to dir/name where dir is an absolute path.
[[nodiscard]] bool grant_in(int ruleset, const char *dir, const char *name, __u64 rights)
{
	char path[PATH_MAX];
	if (dir == nullptr || dir[0] != '/')
		return true;
	int const len = snprintf(path, sizeof path, "%s/%s", dir, name);
	return len < 0 || static_cast<size_t>(len) >= sizeof path || grant(ruleset, path, rights);
}

// Of the user's own files, the settings that libproxy's configuration
// modules read: the kioslaverc and GSettings' database in the configuration
// directory, and GSettings' directory in the runtime directory.
[[nodiscard]] bool grant_settings(int ruleset)
{
	const char *const runtime = getenv("XDG_RUNTIME_DIR");
	if (!grant_in(ruleset, runtime, "dconf", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR))
		return false;
	char config[PATH_MAX];
	const char *const xdg = getenv("XDG_CONFIG_HOME");
	const char *const home = getenv("HOME");
	int len = -1;
	if (xdg != nullptr && xdg[0] == '/')
		len = snprintf(config, sizeof config, "%s", xdg);
	else if (home != nullptr)
		len = snprintf(config, sizeof config, "%s/.config", home);
	if (len <= 0 || static_cast<size_t>(len) >= sizeof config)
		return true;
	return grant_in(ruleset, config, "kioslaverc", LANDLOCK_ACCESS_FS_READ_FILE) &&
		grant_in(ruleset, config, "dconf/user", LANDLOCK_ACCESS_FS_READ_FILE);
}

// Landlock as the comment at the top says. Returns false where the kernel
// has Landlock and the probe could not confine itself with it.
[[nodiscard]] bool restrict_access()
{
	long const abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
	if (abi < 0)
		// Not built into this kernel, or not among its active security modules.
		return errno == ENOSYS || errno == EOPNOTSUPP;

	withheld users;
	for (const char *place : users_places)
		if (realpath(place, users.paths[users.count]) != nullptr)
			++users.count;
	const char *const home = getenv("HOME");
	// A home that is the root directory would withhold everything.
	if (home != nullptr && realpath(home, users.paths[users.count]) != nullptr &&
	    strcmp(users.paths[users.count], "/") != 0)
		++users.count;

	ruleset_attr const attr = handled_by(abi);
	long const ruleset = syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
	if (ruleset < 0)
		return false;
	fd_guard const rules{static_cast<int>(ruleset)};
	return grant_system(rules.fd, "/", users) && grant_settings(rules.fd) &&
		syscall(SYS_landlock_restrict_self, rules.fd, 0) == 0;
}

// The seccomp filter as the comment at the top says.
[[nodiscard]] bool filter_metadata()
{
	if (filter_arch == 0)
		return true;
	sock_fprog const program{static_cast<unsigned short>(metadata_program.size()), metadata_program.data()};
	if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0U, &program) == 0)
		return true;
	// A kernel without seccomp: the lookup runs with the rest.
	return errno == ENOSYS;
}

} // namespace

bool confine()
{
	return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && close_inherited() && limit_data() && restrict_access() &&
		filter_metadata();
}
