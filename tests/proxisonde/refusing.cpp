// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// Runs a program where the kernel answers some system calls with an error,
// as a kernel that lacks them, or has them and refuses, would:
//
//   refusing CALL=ERRNO... -- PROGRAM [ARG...]
//
// CALL is one of the names below, ERRNO a number. The calls are refused by
// a seccomp filter set before the program starts (with no_new_privs).
#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
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
	{"landlock_restrict_self", __NR_landlock_restrict_self},
	{"seccomp", __NR_seccomp},
};

} // namespace

int main(int argc, char *argv[])
{
	sock_filter filter[(2 * (sizeof calls / sizeof calls[0])) + 2] = {};
	unsigned short n = 0;
	filter[n++] = BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr));
	int arg = 1;
	for (; arg < argc && strcmp(argv[arg], "--") != 0; ++arg) {
		const char *const equals = strchr(argv[arg], '=');
		const call *found = nullptr;
		for (const call &c : calls)
			if (equals != nullptr && strncmp(argv[arg], c.name, static_cast<size_t>(equals - argv[arg])) == 0 &&
			    c.name[equals - argv[arg]] == '\0')
				found = &c;
		if (found == nullptr || n + 2 >= static_cast<int>(sizeof filter / sizeof filter[0])) {
			fprintf(stderr, "refusing: no call %s, or too many\n", argv[arg]);
			return 2;
		}
		unsigned const err = static_cast<unsigned>(strtoul(equals + 1, nullptr, 10)) & SECCOMP_RET_DATA;
		filter[n++] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(found->number), 0, 1);
		filter[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | err);
	}
	filter[n++] = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
	if (arg + 1 >= argc) {
		fputs("Usage: refusing CALL=ERRNO... -- PROGRAM [ARG...]\n", stderr);
		return 2;
	}
	sock_fprog const program{n, filter};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
		perror("refusing: seccomp");
		return 2;
	}
	execv(argv[arg + 1], argv + arg + 1);
	perror("refusing: execv");
	return 2;
}
