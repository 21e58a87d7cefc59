// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// Prints "NUMBER TEXT" for each error number given, TEXT being what strerror
// says in the C library this program is built with, as lumivar is: the
// tests expect lumivar's messages in that C library's words.
//   errno_text NUMBER...
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char *argv[])
{
	for (int i = 1; i < argc; ++i) {
		int const number = atoi(argv[i]);
		printf("%d %s\n", number, strerror(number));
	}
	return 0;
}
