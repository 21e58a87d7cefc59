// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The probe's seccomp filter, the architecture checked first, which refuses
// (EPERM) what an older Landlock ABI cannot, or Landlock not at all: by the
// lists and blocks below, another process reached (by its ID or through a
// descriptor's signals), a file's metadata changed, a standard descriptor
// truncated, the session's interprocess objects, a new namespace, and more.
// Where the C library makes sockets through socketcall(2), as on i386 and
// s390x, the filter cannot see which kind, and lets them be; on other
// targets of the GNU C library, socketcall itself is refused.
//
// libproxy 0.4 ends the helper that reads GSettings with a signal, which the
// filter refuses below ABI 6; the helper ends by itself when libproxy closes
// its pipes, as it does before it waits.

#include "filter.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/net.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <iterator>

namespace {

// Calls that older kernel headers lack, which the filter refuses, by the
// numbers that they have on every architecture that the filter knows.
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

// The architecture whose system call numbers the filter names, as the kernel
// reports it to a filter: each one whose real kernel the tests run the
// filter on. Elsewhere (riscv64, loongarch64, big-endian ppc64) 0, and the
// probe goes without a filter.
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
#elif defined(__s390x__)
constexpr __u32 filter_arch = AUDIT_ARCH_S390X;
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
// each where the target has it, and not only through ipc(2): all or none
// of them but semop and semtimedop
#ifdef __NR_shmget
	__NR_shmget, __NR_shmat, __NR_shmdt, __NR_shmctl, __NR_semget, __NR_semctl, __NR_msgget, __NR_msgsnd,
	__NR_msgrcv, __NR_msgctl,
#endif
#ifdef __NR_semop
	__NR_semop,
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
#ifdef __NR_socket
constexpr size_t socket_jump = 1;
#else
constexpr size_t socket_jump = 0;
#endif
#ifdef __NR_ftruncate64
constexpr size_t ftruncate64_jump = 1;
#else
constexpr size_t ftruncate64_jump = 0;
#endif
// The program's length, exactly, as the target has it: the head (and the
// x32 check); the calls, of which 7 are checked by their arguments besides
// the lists, socket, ftruncate64 and ioctl; the allowing return; the
// blocks; the three returns. socketcall's jump and block, where the C
// library uses it.
constexpr size_t filter_capacity = 3 + (x32_possible ? 1 : 0) + std::size(refused_calls) + socket_jump +
	std::size(signal_calls) + std::size(process_calls) + 7 + ftruncate64_jump + 1 + 1 +
	(3 + 3 + 4 + 4 + 4 + 3 + 3) + (std::size(refused_fcntls) + 2) + (std::size(refused_ioctls) + 2) + 3 +
	(PROBE_LIBRARY_SOCKETCALL ? 1 + 3 : 0);
static_assert(filter_capacity < 256, "each jump reaches the end");

size_t write_filter(sock_filter (&program)[filter_capacity], size_t (&at)[label_count], __u32 pid);

} // namespace

// The filter as the comment at the top says.
bool filter_calls()
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
	// A program of another length than counted is not the one written here.
	if (write_filter(program, at, pid) != filter_capacity)
		return false;
	sock_fprog const filter{static_cast<unsigned short>(filter_capacity), program};
	return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0U, &filter) == 0;
}

namespace {

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

} // namespace
