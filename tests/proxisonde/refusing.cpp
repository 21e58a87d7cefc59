// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// Runs a program where the kernel answers some system calls with an error,
// as a kernel that lacks them, or has them and refuses, would, or reports
// an older Landlock ABI:
//
//   refusing [CALL[:ARG]=ERRNO...] [landlock_abi=N] -- PROGRAM [ARG...]
//
// CALL is one of the names below, ERRNO a number; with ARG, the call is
// refused only where its first argument is that number (seccomp's
// operation, say). The calls are refused by
// a seccomp filter set before the program starts (with no_new_privs). With
// landlock_abi=N, Landlock's version query answers N: the filter hands it
// to this program, which stays the program's parent for that (seccomp user
// notification), and every other Landlock call goes to the kernel, which
// then enforces the ruleset made for ABI N.
#include <errno.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef __NR_close_range
#define __NR_close_range 436
#endif

namespace {

struct call {
	const char *name;
	long number;
};

const call calls[] = {
	{"prctl", __NR_prctl},
	{"close_range", __NR_close_range},
	{"prlimit64", __NR_prlimit64},
	{"landlock_create_ruleset", __NR_landlock_create_ruleset},
	{"landlock_add_rule", __NR_landlock_add_rule},
	{"landlock_restrict_self", __NR_landlock_restrict_self},
	{"seccomp", __NR_seccomp},
	{"unshare", __NR_unshare},
	{"capset", __NR_capset},
};

// Where the version queries come, and what they are answered.
struct version_answer {
	int listener;
	long abi;
};

// Answers the program's version queries until it ends; its status.
int answer(const version_answer &version, pid_t program)
{
	int const listener = version.listener;
	int const ended = static_cast<int>(syscall(SYS_pidfd_open, program, 0));
	pollfd waits[] = {{listener, POLLIN, 0}, {ended, POLLIN, 0}};
	int status = 0;
	while (waitpid(program, &status, WNOHANG) == 0) {
		if (poll(waits, ended < 0 ? 1 : 2, ended < 0 ? 10 : -1) <= 0 || (waits[0].revents & POLLIN) == 0)
			continue;
		seccomp_notif query{};
		if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &query) != 0)
			continue;
		seccomp_notif_resp reply{};
		reply.id = query.id;
		reply.val = version.abi;
		(void)ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &reply);
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Room for each call refused by its argument, and the version query.
constexpr size_t filter_capacity = (4 * (sizeof calls / sizeof calls[0])) + 6;

// Appends the refusal CALL[:ARG]=ERRNO to the filter at n; false where no
// call has that name, or the filter has no room for it.
bool refuse(const char *refusal, sock_filter (&filter)[filter_capacity], unsigned short &n)
{
	const char *const equals = strchr(refusal, '=');
	const char *const colon = strchr(refusal, ':');
	const char *const name_end = colon != nullptr && colon < equals ? colon : equals;
	const call *found = nullptr;
	for (const call &c : calls)
		if (equals != nullptr && strncmp(refusal, c.name, static_cast<size_t>(name_end - refusal)) == 0 &&
		    c.name[name_end - refusal] == '\0')
			found = &c;
	if (found == nullptr || n + 4 >= static_cast<int>(filter_capacity))
		return false;
	unsigned const err = static_cast<unsigned>(strtoul(equals + 1, nullptr, 10)) & SECCOMP_RET_DATA;
	bool const by_argument = name_end == colon;
	filter[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(found->number), 0,
	                       static_cast<__u8>(by_argument ? 3 : 1));
	if (by_argument) {
		// The argument's low 32 bits; the number is loaded again after.
		filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
		                       offsetof(seccomp_data, args[0]) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0));
		filter[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(strtoul(colon + 1, nullptr, 10)), 0, 1);
	}
	filter[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | err);
	if (by_argument)
		filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
	return true;
}

} // namespace

int main(int argc, char *argv[])
{
	sock_filter filter[filter_capacity] = {};
	unsigned short n = 0;
	long abi = 0;
	filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
	int arg = 1;
	for (; arg < argc && strcmp(argv[arg], "--") != 0; ++arg) {
		if (strncmp(argv[arg], "landlock_abi=", strlen("landlock_abi=")) == 0) {
			abi = strtol(argv[arg] + strlen("landlock_abi="), nullptr, 10);
			continue;
		}
		if (!refuse(argv[arg], filter, n)) {
			fprintf(stderr, "refusing: no call %s, or too many\n", argv[arg]);
			return 2;
		}
	}
	if (abi > 0) {
		// The version query: no attributes, the flag alone.
		filter[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_landlock_create_ruleset, 0, 3);
		filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2]));
		filter[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, LANDLOCK_CREATE_RULESET_VERSION, 0, 1);
		filter[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF);
	}
	filter[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	if (arg + 1 >= argc) {
		fputs("Usage: refusing [CALL[:ARG]=ERRNO...] [landlock_abi=N] -- PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	sock_fprog const program{n, filter};
	long const listener = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ? -1 :
		syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, abi > 0 ? SECCOMP_FILTER_FLAG_NEW_LISTENER : 0U, &program);
	if (listener < 0) {
		perror("refusing: seccomp");
		return 2;
	}
	pid_t const child = abi > 0 ? fork() : 0;
	if (child < 0) {
		perror("refusing: fork");
		return 2;
	}
	if (child > 0)
		return answer({static_cast<int>(listener), abi}, child);
	if (child == 0 && abi > 0)
		(void)close(static_cast<int>(listener));
	execv(argv[arg + 1], argv + arg + 1);
	perror("refusing: execv");
	return 2;
}
