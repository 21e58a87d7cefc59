// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// What the confinement's parts release by scope: a descriptor, a directory
// listing, memory from malloc; and close_range, which older kernel headers
// lack (Linux 5.9).
#ifndef PROXISONDE_SCOPED_H
#define PROXISONDE_SCOPED_H

#include <dirent.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>

#ifdef __NR_close_range
constexpr long nr_close_range = __NR_close_range;
#else
constexpr long nr_close_range = 436;
#endif

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

#endif
