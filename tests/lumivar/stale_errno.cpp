// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// Preloaded into lumivar (LD_PRELOAD), so that the program starts with errno
// already set, as it does when something that ran before main (the dynamic
// loader, another preloaded library) left an error behind.
#include <errno.h>

[[gnu::constructor]] static void leave_errno_set()
{
	errno = EINVAL;
}
