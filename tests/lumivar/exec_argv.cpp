// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// Starts a program with exactly the argument vector that follows its path,
// so that a test can choose the program name or give no vector at all:
//   exec_argv PROGRAM [ARGV0 [ARG...]]
// Started without a program, it prints its argc: started with no vector,
// as "exec_argv exec_argv" does, that tells what the kernel makes of one
// (Linux 5.18 and later pass an empty name, older kernels none).
#include <stdio.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	if (argc < 2) {
		printf("%d\n", argc);
		return 0;
	}
	execv(argv[1], argv + 2);
	perror("exec_argv: execv");
	return 127;
}
