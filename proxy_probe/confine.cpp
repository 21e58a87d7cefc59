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
// - a limit on its data (RLIMIT_DATA), so that a script without end ends
//   the probe when the download reaches it, long before the caller's
//   timeout would. No limit on the size of the files it writes: the kernel
//   checks that one at every write to a regular file, the caller's own
//   stdout and stderr included, where a session log would end the writer;
// - Landlock, by the ABI the kernel reports: reading and executing only
//   beneath what the system ships, every entry of / but the users' places
//   (their homes wherever they are, $HOME and the password database's home
//   among them; /tmp, /var/tmp, mail, removable media, crash reports, core
//   dumps and journals; $XDG_RUNTIME_DIR and /run/user; the other mounts
//   through which a file system shows any of them, and every mount of the
//   file systems of processes and devices but /proc and /dev); in /dev
//   only null, zero, full, random and urandom, and in /proc only the
//   probe's own process and the system's figures; of the user's own files,
//   reading the proxy settings (the kioslaverc, and the directories of
//   dconf, GSettings' store) and making and writing dconf's flag files; no
//   other write of any kind anywhere; no device ioctl (ABI 5); no TCP port
//   to listen on (ABI 4); no signal to, and no abstract unix socket of, a
//   process outside the probe (ABI 6); no unix socket at a path made
//   outside (ABI 9), which is how the session bus is reached;
// - a seccomp filter, the architecture checked first, that refuses (EPERM)
//   what an older Landlock ABI cannot, or Landlock not at all: truncating by
//   path; listening; a signal to any process but the probe itself; making
//   a unix socket; another process's memory and descriptors (ptrace,
//   process_vm_readv and _writev, pidfd_getfd), and its limits, nice
//   value, affinity, scheduler and I/O priority; routing a descriptor's
//   signals to a process (F_SETOWN, F_SETOWN_EX, F_SETSIG, FIOSETOWN,
//   SIOCSPGRP); System V's and POSIX's interprocess communication;
//   changing a file's mode, owner, times, extended attributes or flags
//   (FS_IOC_SETFLAGS, FS_IOC_FSSETXATTR too); truncating the caller's
//   stdin, stdout or stderr; a new namespace (unshare, setns, clone with a
//   namespace's flag; clone3, whose flags it cannot read, answers ENOSYS);
//   opening a file by handle; the keyrings; io_uring, whose operations
//   would pass the filter unseen; and typing into a terminal (TIOCSTI,
//   TIOCLINUX). Where the C library makes sockets through socketcall(2),
//   as on i386 and s390x, the filter cannot see which kind, and lets them
//   be; on other targets of the GNU C library, socketcall itself is
//   refused.
//
// So from Landlock ABI 1 on, with the filter, nothing is written but dconf's
// flag files, nothing of the user's read but the settings, no device opened
// but the five, no other process reached; below ABI 5 the five take
// ioctls, and where the C library makes sockets through socketcall, the
// session's unix sockets stay open below ABI 6 (abstract) and 9 (at a path).
//
// What stays is what discovery needs: connecting out over TCP and UDP,
// reading the system's files, and starting the system's programs. Rights of
// ABIs newer than 9 are not asked for: ABI 10's UDP rights would take the
// lookup's name resolution, which sends from a port that it binds
// implicitly. Without unix sockets, names still resolve: the C library asks
// its cache daemon's socket first and, where that cannot be reached, the
// sources that nsswitch.conf names.
//
// Each part is first asked for: the Landlock ABI, seccomp's filter mode,
// close_range, the limit. A part whose question the kernel answers with any
// error, whether it lacks the part or an outer sandbox (a container's or a
// service manager's seccomp profile) refuses the question, is missing, and
// the lookup runs with the rest; close_range's place is taken by a walk of
// /proc/self/fd. A part that the kernel has and then refuses (a rule, the
// ruleset's restriction, the filter) means that no lookup runs.
//
// libproxy 0.4 ends the helper that reads GSettings with a signal, which the
// filter refuses below ABI 6; the helper ends by itself when libproxy closes
// its pipes, as it does before it waits.
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

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/landlock.h>
#include <linux/net.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sched.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <memory>

// Built with AddressSanitizer, whose runtime the confinement must leave
// what it needs.
#ifdef __SANITIZE_ADDRESS__
#define PROBE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PROBE_ADDRESS_SANITIZER 1
#endif
#endif

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
#ifdef __NR_pidfd_send_signal
constexpr long nr_pidfd_send_signal = __NR_pidfd_send_signal;
#else
constexpr long nr_pidfd_send_signal = 424;
#endif
#ifdef __NR_pidfd_getfd
constexpr long nr_pidfd_getfd = __NR_pidfd_getfd;
#else
constexpr long nr_pidfd_getfd = 438;
#endif
#ifdef __NR_clone3
constexpr long nr_clone3 = __NR_clone3;
#else
constexpr long nr_clone3 = 435;
#endif

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

// The users' data: their homes, and where their files, mail, media, crash
// reports, core dumps and journals are kept. $HOME, the password database's
// home and $XDG_RUNTIME_DIR join them, and so does every other view of one
// that a mount gives.
constexpr const char *users_places[] = {
	"/home", "/root", "/tmp", "/var/tmp", "/var/mail", "/var/crash", "/var/lib/systemd/coredump",
	"/var/log/journal", "/run/user", "/run/media", "/run/log/journal", "/media", "/mnt", "/dev/shm",
};

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

// The withheld places by their canonical paths, each a string from
// malloc, as many as the mounts show: an array of C grown as it fills, as
// what std::vector checks would take libstdc++ (GCC 13 and later assert
// out of line).
struct withheld {
	char **paths = nullptr;
	size_t count = 0;
	size_t capacity = 0;
	bool failed = false; // memory ran out

	withheld() = default;
	withheld(const withheld &) = delete;
	withheld &operator=(const withheld &) = delete;
	~withheld()
	{
		for (size_t i = 0; i < count; ++i)
			free(paths[i]);
		free(static_cast<void *>(paths));
	}
};

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

// Whether the C library makes sockets through socketcall(2): glibc does on
// i386 and s390x, and any other C library may where the call exists. There
// the filter checks socketcall's operation alone; elsewhere it refuses it.
#if defined(__NR_socketcall) && (!defined(__GLIBC__) || defined(__i386__) || defined(__s390x__))
#define PROBE_LIBRARY_SOCKETCALL 1
#else
#define PROBE_LIBRARY_SOCKETCALL 0
#endif

// What the filter refuses outright, as the target has it: truncating by
// path; listening; what reaches another process's memory or descriptors,
// or signals it through a descriptor; changing a file's mode, owner, times,
// extended attributes or flags; opening a file by handle; the keyrings;
// io_uring_setup; socketcall where the C library does not use it; a new
// namespace (unshare, setns); and System V's and POSIX's interprocess
// communication, whose objects are the session's (an X client's shared
// images among them), and ipc(2), which multiplexes the former.
constexpr long refused_calls[] = {
	__NR_truncate,
#ifdef __NR_truncate64
	__NR_truncate64,
#endif
#ifdef __NR_listen
	__NR_listen,
#endif
#if defined(__NR_socketcall) && !PROBE_LIBRARY_SOCKETCALL
	__NR_socketcall,
#endif
#ifndef PROBE_ADDRESS_SANITIZER
	// AddressSanitizer's leak checker stops the process's threads with it
	// at the end.
	__NR_ptrace,
#endif
	__NR_process_vm_readv, __NR_process_vm_writev, nr_pidfd_getfd, nr_pidfd_send_signal,
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
	__NR_fremovexattr, nr_removexattrat, nr_file_setattr, __NR_open_by_handle_at, __NR_keyctl, __NR_add_key,
	__NR_request_key, __NR_io_uring_setup, __NR_unshare, __NR_setns,
#ifdef __NR_ipc
	__NR_ipc,
#endif
// each where the target has it, and not only through ipc(2)
#ifdef __NR_shmget
	__NR_shmget,
#endif
#ifdef __NR_shmat
	__NR_shmat,
#endif
#ifdef __NR_shmdt
	__NR_shmdt,
#endif
#ifdef __NR_shmctl
	__NR_shmctl,
#endif
#ifdef __NR_semget
	__NR_semget,
#endif
#ifdef __NR_semop
	__NR_semop,
#endif
#ifdef __NR_semctl
	__NR_semctl,
#endif
#ifdef __NR_msgget
	__NR_msgget,
#endif
#ifdef __NR_msgsnd
	__NR_msgsnd,
#endif
#ifdef __NR_msgrcv
	__NR_msgrcv,
#endif
#ifdef __NR_msgctl
	__NR_msgctl,
#endif
#ifdef __NR_semtimedop
	__NR_semtimedop,
#endif
#ifdef __NR_semtimedop_time64
	__NR_semtimedop_time64,
#endif
	__NR_mq_open, __NR_mq_unlink, __NR_mq_notify, __NR_mq_getsetattr,
#ifdef __NR_mq_timedsend
	__NR_mq_timedsend, __NR_mq_timedreceive,
#endif
#ifdef __NR_mq_timedsend_time64
	__NR_mq_timedsend_time64, __NR_mq_timedreceive_time64,
#endif
};

// The calls that may signal a process by its ID, the first argument: the
// filter lets them reach the probe alone (its threads by tgkill).
constexpr long signal_calls[] = {
	__NR_kill, __NR_tkill, __NR_tgkill, __NR_rt_sigqueueinfo, __NR_rt_tgsigqueueinfo,
};

// The calls that change a process's limits or scheduling by its ID, the
// first argument: the filter lets them reach the probe alone (0 or its
// own ID).
constexpr long process_calls[] = {
	__NR_prlimit64, __NR_sched_setaffinity, __NR_sched_setscheduler, __NR_sched_setparam, __NR_sched_setattr,
};

// What ioctl and fcntl are refused: typing into a terminal; routing a
// descriptor's signals to a process (which Landlock's signal scope covers
// from ABI 6 alone); a file's flags.
constexpr __u32 refused_ioctls[] = {
	TIOCSTI, TIOCLINUX, FIOSETOWN, SIOCSPGRP, FS_IOC_SETFLAGS, FS_IOC32_SETFLAGS, FS_IOC_FSSETXATTR,
};
constexpr __u32 refused_fcntls[] = {F_SETOWN, F_SETOWN_EX, F_SETSIG};
#ifdef __NR_fcntl64
constexpr long fcntl_call = __NR_fcntl64;
#else
constexpr long fcntl_call = __NR_fcntl;
#endif

// The namespaces that clone's flags may make; CLONE_NEWTIME's bit is the
// exit signal's there. s390x takes the flags second.
constexpr __u32 namespace_flags =
	CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;
#ifdef __s390x__
constexpr unsigned clone_flags = 1;
#else
constexpr unsigned clone_flags = 0;
#endif

constexpr sock_filter statement(__u16 code, __u32 k)
{
	return {code, 0, 0, k};
}

constexpr sock_filter jump(__u16 code, __u32 k, __u8 jump_true, __u8 jump_false)
{
	return {code, jump_true, jump_false, k};
}

// Where an argument's low 32 bits are, which is what the kernel reads of an
// int.
constexpr __u32 argument(unsigned n)
{
	return offsetof(seccomp_data, args) + (n * sizeof(__u64)) +
		(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? sizeof(__u32) : 0);
}

// The places in the program that its jumps go to.
enum label : unsigned char {
	unix_family,
	own_process,
	own_or_zero,
	own_priority,
	own_io_priority,
	standard_descriptor,
	new_namespace,
	socketcall_operation,
	descriptor_command,
	terminal,
	refuse,
	missing,
	kill,
	label_count
};
constexpr bool x32_possible = filter_arch == AUDIT_ARCH_X86_64;
// The head; the calls, of which 8 are checked by their arguments besides
// the lists, socketcall and ioctl; the allowing return; the blocks; the
// three returns.
constexpr size_t filter_capacity = 4 + std::size(refused_calls) + 1 + std::size(signal_calls) +
	std::size(process_calls) + 8 + 1 + 1 + 1 + (3 + 3 + 4 + 4 + 4 + 3 + 3 + 3) + (std::size(refused_fcntls) + 2) +
	(std::size(refused_ioctls) + 2) + 3;
static_assert(filter_capacity < 256, "each jump reaches the end");

// Writes the program of classic BPF, whose jumps go forward only: the
// architecture, or kill; the number (on x86-64 an x32 call: kill); a
// refused call: refuse; a call that is refused by its arguments: checked
// in a block of its own; anything else: allow. Run twice: the first run
// finds where the labels are, the second writes the jumps to them.
size_t write_filter(sock_filter (&program)[filter_capacity], size_t (&at)[label_count], __u32 pid)
{
	size_t i = 0;
	// The distance from the instruction at i to the label.
	auto const to = [&](label l) { return static_cast<__u8>(at[l] - (i + 1)); };
	// The same for a jump that always goes, to just past the label's load.
	auto const past = [&](label l) { return static_cast<__u32>(at[l] - i); };
	// Past the capacity, nothing is written, and the length tells.
	auto const put = [&](sock_filter s) {
		if (i < filter_capacity)
			program[i] = s;
		++i;
	};
	put(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, filter_arch, 0, to(kill)));
	put(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
	if (x32_possible)
		put(jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000U, to(kill), 0));
	for (long const call : refused_calls)
		put(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(call), to(refuse), 0));
#ifdef __NR_socket
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, to(unix_family), 0));
#endif
	for (long const call : signal_calls)
		put(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(call), to(own_process), 0));
	for (long const call : process_calls)
		put(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(call), to(own_or_zero), 0));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_setpriority, to(own_priority), 0));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioprio_set, to(own_io_priority), 0));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_ftruncate, to(standard_descriptor), 0));
#ifdef __NR_ftruncate64
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_ftruncate64, to(standard_descriptor), 0));
#endif
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, to(new_namespace), 0));
	// clone3 keeps its flags in memory, which a filter cannot read: the C
	// library makes do with clone where clone3 is missing.
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(nr_clone3), to(missing), 0));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(fcntl_call), to(descriptor_command), 0));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_fcntl, to(descriptor_command), 0));
#if PROBE_LIBRARY_SOCKETCALL
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_socketcall, to(socketcall_operation), 0));
#endif
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, to(terminal), 0));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

	at[unix_family] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(0)));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, to(refuse), 0));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	at[own_process] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(0)));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, pid, 0, to(refuse)));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	// setpriority and ioprio_set: a process (which, the first argument),
	// and the probe alone (who, the second), as below.
	at[own_priority] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(0)));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, PRIO_PROCESS, 0, to(refuse)));
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(1)));
	put(statement(BPF_JMP | BPF_JA, past(own_or_zero)));
	at[own_io_priority] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(0)));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, to(refuse))); // IOPRIO_WHO_PROCESS
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(1)));
	put(statement(BPF_JMP | BPF_JA, past(own_or_zero)));
	// The first argument, or the second as above: 0 or the probe's own ID.
	at[own_or_zero] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(0)));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, pid, 0, to(refuse)));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	// ftruncate: not the caller's stdin, stdout or stderr.
	at[standard_descriptor] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(0)));
	put(jump(BPF_JMP | BPF_JGE | BPF_K, 3, 0, to(refuse)));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	at[new_namespace] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(clone_flags)));
	put(jump(BPF_JMP | BPF_JSET | BPF_K, namespace_flags, to(refuse), 0));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
#if PROBE_LIBRARY_SOCKETCALL
	at[socketcall_operation] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(0)));
	put(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_LISTEN, to(refuse), 0));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
#endif
	at[descriptor_command] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(1)));
	for (__u32 const command : refused_fcntls)
		put(jump(BPF_JMP | BPF_JEQ | BPF_K, command, to(refuse), 0));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	at[terminal] = i;
	put(statement(BPF_LD | BPF_W | BPF_ABS, argument(1)));
	for (__u32 const command : refused_ioctls)
		put(jump(BPF_JMP | BPF_JEQ | BPF_K, command, to(refuse), 0));
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
	at[refuse] = i;
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
	at[missing] = i;
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS));
	at[kill] = i;
	put(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
	return i;
}

struct c_free {
	void operator()(void *p) const noexcept { free(p); }
};

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

// Opens /dev/null as each of 0, 1 and 2 that is closed.
[[nodiscard]] bool standard_descriptors()
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
[[nodiscard]] bool close_inherited()
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

// The ruleset being built, and the file system rights it handles.
struct ruleset {
	int fd = -1;
	__u64 handled = 0;
};

// What a rule is granted to.
enum class kind : bool { file, directory };

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

// Whether the path is one of the withheld places as they are listed.
[[nodiscard]] bool listed(const withheld &users, const char *path)
{
	return std::any_of(users.paths, users.paths + users.count, [path](const char *p) { return strcmp(p, path) == 0; });
}

// Withholds the place at path, by its canonical path, where it resolves to
// anything but the root directory (which would withhold everything).
void withhold(withheld &users, const char *path)
{
	// A path that is listed already is canonical.
	char canonical[PATH_MAX];
	if (path[0] != '/' || listed(users, path) || realpath(path, canonical) == nullptr ||
	    strcmp(canonical, "/") == 0 || listed(users, canonical))
		return;
	if (users.count == users.capacity) {
		size_t const capacity = users.capacity == 0 ? 64 : 2 * users.capacity;
		auto **const grown = static_cast<char **>(malloc(capacity * sizeof(char *)));
		if (grown == nullptr) {
			users.failed = true;
			return;
		}
		std::copy(users.paths, users.paths + users.count, grown);
		free(static_cast<void *>(users.paths));
		users.paths = grown;
		users.capacity = capacity;
	}
	char *const copy = strdup(canonical);
	if (copy == nullptr)
		users.failed = true;
	else
		users.paths[users.count++] = copy;
}

// Writes "dir/name" into out; false where it does not fit.
[[nodiscard]] bool join(char (&out)[PATH_MAX], const char *dir, const char *name)
{
	int const len = snprintf(out, sizeof out, "%s/%s", strcmp(dir, "/") == 0 ? "" : dir, name);
	return len >= 0 && static_cast<size_t>(len) < sizeof out;
}

// A mount of the probe's namespace, as /proc/self/mountinfo has it: the
// file system's device, the directory of it that the mount shows (root),
// where (point), and the file system's type.
struct mount_entry {
	unsigned long major;
	unsigned long minor;
	char *root;
	char *point;
	const char *type;
};

// Decodes mountinfo's octal escapes (\040 for a blank and the like) in place.
void unescape(char *s)
{
	char *out = s;
	for (const char *in = s; *in != '\0'; ++out) {
		bool const octal = in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
			in[3] >= '0' && in[3] <= '7';
		*out = octal ? static_cast<char>(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0')) : *in;
		in += octal ? 4 : 1;
	}
	*out = '\0';
}

// The whole of a file of /proc, as a string from malloc: read again into a
// buffer twice as large while it fills the one it has, as large as it is.
[[nodiscard]] char *read_whole(const char *path)
{
	for (size_t capacity = 16384;; capacity *= 2) {
		std::unique_ptr<char, c_free> text{static_cast<char *>(malloc(capacity))};
		fd_guard const file{open(path, O_RDONLY | O_CLOEXEC)};
		if (!text || file.fd < 0)
			return nullptr;
		size_t size = 0;
		ssize_t n = 0;
		while (size < capacity - 1 && (n = read(file.fd, text.get() + size, capacity - 1 - size)) > 0)
			size += static_cast<size_t>(n);
		if (n < 0)
			return nullptr;
		if (size < capacity - 1) {
			text.get()[size] = '\0';
			return text.release();
		}
	}
}

// Splits the lines of mountinfo in place into mounts, as many as fit.
size_t split_mounts(char *text, mount_entry *mounts, size_t capacity)
{
	size_t count = 0;
	for (char *line = text, *next = nullptr; line != nullptr && *line != '\0' && count < capacity; line = next) {
		next = strchr(line, '\n');
		if (next != nullptr)
			*next++ = '\0';
		// ID PARENT-ID MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [TAG...] - TYPE ...
		char *save = nullptr;
		char *field[5] = {strtok_r(line, " ", &save)};
		for (size_t k = 1; k < std::size(field) && field[k - 1] != nullptr; ++k)
			field[k] = strtok_r(nullptr, " ", &save);
		mount_entry &m = mounts[count];
		char *minor = nullptr;
		if (field[4] == nullptr)
			continue;
		m.major = strtoul(field[2], &minor, 10);
		m.minor = *minor == ':' ? strtoul(minor + 1, nullptr, 10) : ~0UL;
		m.root = field[3];
		m.point = field[4];
		m.type = "";
		for (const char *tag = ""; tag != nullptr && strcmp(tag, "-") != 0;)
			tag = strtok_r(nullptr, " ", &save);
		if (const char *const type = strtok_r(nullptr, " ", &save); type != nullptr)
			m.type = type;
		unescape(m.root);
		unescape(m.point);
		++count;
	}
	return count;
}

// The path into out, or, where it is too long to name, the longest of its
// directories that can be named: no view is missed for its length.
void name_of(const char *path, char (&out)[PATH_MAX])
{
	size_t length = strlen(path);
	if (length >= sizeof out)
		for (length = sizeof out - 1; length > 0 && path[length] != '/';)
			--length;
	memcpy(out, path, length);
	out[length] = '\0';
}

// Where the mount e shows the directory inside (a path in e's file system),
// named into view; false where it does not.
[[nodiscard]] bool view_of(const mount_entry &e, const char *inside, char (&view)[PATH_MAX])
{
	// A mount point is at most a page long, and so is the rest.
	char whole[2 * PATH_MAX];
	if (strcmp(e.root, inside) == 0 || beneath(e.root, inside))
		// The directory, or one in it: all that the mount shows.
		(void)snprintf(whole, sizeof whole, "%s", e.point);
	else if (beneath(inside, e.root))
		// The mount shows a directory that holds it.
		(void)snprintf(whole, sizeof whole, "%s/%s", strcmp(e.point, "/") == 0 ? "" : e.point,
		               inside + (strcmp(e.root, "/") == 0 ? 1 : strlen(e.root) + 1));
	else
		return false;
	name_of(whole, view);
	return true;
}

// The file systems of processes and devices show every process, or device,
// wherever they are mounted (a container's view of its host, a chroot's
// /proc): each such mount is withheld but /proc and /dev, which the lists
// above grant from.
void withhold_by_type(withheld &users, const mount_entry *mounts, const mount_entry *end)
{
	for (const mount_entry *e = mounts; e != end; ++e) {
		char point[PATH_MAX];
		name_of(e->point, point);
		if ((strcmp(e->type, "proc") == 0 || strcmp(e->type, "devtmpfs") == 0 || strcmp(e->type, "devpts") == 0) &&
		    strcmp(point, "/proc") != 0 && strcmp(point, "/dev") != 0)
			withhold(users, point);
	}
}

// Withholds every other view that the mounts give of the first places of
// users. Landlock grants by inode, and follows a path up through the
// directories that a mount covers, so each mount on a place's path counts:
// where its file system is mounted again, the place's path there is
// withheld; where a directory in the place, or the place itself, is
// mounted elsewhere (a bind mount), that mount point. A file mounted over a
// system's file (/etc/hosts in a sandbox or a container) is that file.
// Mounts are told apart by their device; what a file system shows without
// a mount (a hard link, a copy in another file system) cannot be told.
void withhold_views(withheld &users, size_t places)
{
	std::unique_ptr<char, c_free> const text{read_whole("/proc/self/mountinfo")};
	if (!text)
		return;
	size_t const capacity = static_cast<size_t>(std::count(text.get(), text.get() + strlen(text.get()), '\n')) + 1;
	std::unique_ptr<mount_entry, c_free> const mounts{static_cast<mount_entry *>(calloc(capacity, sizeof(mount_entry)))};
	if (!mounts)
		return;
	const mount_entry *const end = mounts.get() + split_mounts(text.get(), mounts.get(), capacity);
	withhold_by_type(users, mounts.get(), end);
	for (size_t p = 0; p < places; ++p) {
		const char *const place = users.paths[p];
		for (const mount_entry *on = mounts.get(); on != end; ++on) {
			// The place's path in the file system of a mount on its path.
			char inside[PATH_MAX];
			const char *const rest = place + (strcmp(on->point, "/") == 0 ? 0 : strlen(on->point));
			if ((strcmp(on->point, place) != 0 && !beneath(place, on->point)) ||
			    snprintf(inside, sizeof inside, "%s%s", strcmp(on->root, "/") == 0 ? "" : on->root, rest) >=
			        static_cast<int>(sizeof inside))
				continue;
			for (const mount_entry *e = mounts.get(); e != end; ++e) {
				char view[PATH_MAX];
				struct stat st {};
				if (e->major == on->major && e->minor == on->minor && view_of(*e, inside, view) &&
				    !listed(users, view) && stat(view, &st) == 0 && S_ISDIR(st.st_mode))
					withhold(users, view);
			}
		}
	}
}

// The users' places, and the user's own: $HOME, the password database's
// home, $XDG_CONFIG_HOME and $XDG_RUNTIME_DIR wherever they are; then the
// other views of them. False where memory runs out.
[[nodiscard]] bool withhold_users(withheld &users, const char *account_home)
{
	for (const char *place : users_places)
		withhold(users, place);
	const char *const own[] = {getenv("HOME"), account_home, getenv("XDG_CONFIG_HOME"), getenv("XDG_RUNTIME_DIR")};
	for (const char *place : own)
		if (place != nullptr)
			withhold(users, place);
	withhold_views(users, users.count);
	return !users.failed;
}

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

// Landlock as the comment at the top says. Returns false where the kernel
// has Landlock and the probe could not confine itself with it.
[[nodiscard]] bool restrict_access()
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

// The seccomp filter as the comment at the top says.
[[nodiscard]] bool filter_calls()
{
	// Whether the kernel has filters that answer with an error: where it
	// has not, or an outer sandbox refuses the question, the lookup runs
	// with the rest.
	__u32 action = SECCOMP_RET_ERRNO;
	if (filter_arch == 0 || syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0U, &action) != 0)
		return true;
	sock_filter program[filter_capacity]{};
	size_t at[label_count]{};
	auto const pid = static_cast<__u32>(getpid());
	(void)write_filter(program, at, pid);
	size_t const length = write_filter(program, at, pid);
	if (length > filter_capacity)
		return false;
	sock_fprog const filter{static_cast<unsigned short>(length), program};
	return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0U, &filter) == 0;
}

} // namespace

bool confine()
{
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !standard_descriptors() || !close_inherited())
		return false;
	lower_limit(RLIMIT_DATA, {data_limit, data_limit});
	return restrict_access() && filter_calls();
}
