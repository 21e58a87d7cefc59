// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The users' places that Landlock's walk of the system withholds, and every
// view of them that the mounts give (places.cpp says which).
#ifndef PROXISONDE_PLACES_H
#define PROXISONDE_PLACES_H

#include <limits.h>
#include <stddef.h>
#include <stdlib.h>

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

// Withholds the users' places, the user's own (account_home, the password
// database's, among them) and their other views. False where memory runs
// out or the mounts cannot be read: then nothing may be granted on a guess.
[[nodiscard]] bool withhold_users(withheld &users, const char *account_home);

// Whether the canonical path is a withheld place or lies beneath one.
[[nodiscard]] bool is_withheld(const withheld &users, const char *path);

// Whether a withheld place lies beneath the canonical path.
[[nodiscard]] bool holds_withheld(const withheld &users, const char *path);

// Writes "dir/name" into out; false where it does not fit.
[[nodiscard]] bool join(char (&out)[PATH_MAX], const char *dir, const char *name);

#endif
