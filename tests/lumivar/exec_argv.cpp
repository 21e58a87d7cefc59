// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// Starts a program with exactly the argument vector that follows its path,
// so that a test can choose the program name or give no vector at all:
//   exec_argv PROGRAM [ARGV0 [ARG...]]
#include <stdio.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	if (argc < 2) {
		fputs("usage: exec_argv PROGRAM [ARGV0 [ARG...]]\n", stderr);
		return 2;
	}
	execv(argv[1], argv + 2);
	perror("exec_argv: execv");
	return 127;
}
