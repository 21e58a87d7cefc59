// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// Starts a program with exactly the argument vector that follows its path,
// so that a test can choose the program name or give no vector at all:
//   exec_argv PROGRAM [ARGV0 [ARG...]]
// Started without a program, it prints its argc and the name it was given:
// started by "exec_argv exec_argv" with no vector, that tells what the
// kernel makes of one (Linux 5.18 and later pass an empty name, older
// kernels none), and by "exec_argv exec_argv NAME", whether a name comes
// through at all (an emulator may put the program's path in its place).
#include <stdio.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	if (argc < 2) {
		printf("%d %s\n", argc, argc > 0 ? argv[0] : "");
		return 0;
	}
	execv(argv[1], argv + 2);
	perror("exec_argv: execv");
	return 127;
}
