// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The places that the probe's Landlock rules withhold: the users' data
// wherever it is kept, and every other view of it that a mount gives, found
// in the probe's mount table (/proc/self/mountinfo), which is read whole;
// where it cannot be read, no view can be told apart, and the probe makes
// no lookup.

#include "places.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>

#include "scoped.h"

namespace {

// The users' data: their homes, and where their files, mail, media, crash
// reports, core dumps and journals are kept. $HOME, the password database's
// home and $XDG_RUNTIME_DIR join them, and so does every other view of one
// that a mount gives.
constexpr const char *users_places[] = {
	"/home", "/root", "/tmp", "/var/tmp", "/var/mail", "/var/crash", "/var/lib/systemd/coredump",
	"/var/log/journal", "/run/user", "/run/media", "/run/log/journal", "/media", "/mnt", "/dev/shm",
};

void withhold(withheld &users, const char *path);
[[nodiscard]] bool withhold_views(withheld &users, size_t places);

} // namespace

// The users' places, and the user's own: $HOME, the password database's
// home, $XDG_CONFIG_HOME and $XDG_RUNTIME_DIR wherever they are; then the
// other views of them.
bool withhold_users(withheld &users, const char *account_home)
{
	for (const char *place : users_places)
		withhold(users, place);
	const char *const own[] = {getenv("HOME"), account_home, getenv("XDG_CONFIG_HOME"), getenv("XDG_RUNTIME_DIR")};
	for (const char *place : own)
		if (place != nullptr)
			withhold(users, place);
	return withhold_views(users, users.count) && !users.failed;
}

namespace {

// Whether path lies strictly beneath the directory dir (both canonical).
[[nodiscard]] bool beneath(const char *path, const char *dir)
{
	size_t const n = strcmp(dir, "/") == 0 ? 0 : strlen(dir);
	return strncmp(path, dir, n) == 0 && path[n] == '/' && path[n + 1] != '\0';
}

// Whether the path is one of the withheld places as they are listed.
[[nodiscard]] bool listed(const withheld &users, const char *path)
{
	return std::any_of(users.paths, users.paths + users.count, [path](const char *p) { return strcmp(p, path) == 0; });
}

// Withholds the place at path, by its canonical path, where it resolves to
// anything but the root directory (which would withhold everything).
void withhold(withheld &users, const char *path)
{
	// A path that is listed already is canonical.
	char canonical[PATH_MAX];
	if (path[0] != '/' || listed(users, path) || realpath(path, canonical) == nullptr ||
	    strcmp(canonical, "/") == 0 || listed(users, canonical))
		return;
	if (users.count == users.capacity) {
		size_t const capacity = users.capacity == 0 ? 64 : 2 * users.capacity;
		auto **const grown = static_cast<char **>(malloc(capacity * sizeof(char *)));
		if (grown == nullptr) {
			users.failed = true;
			return;
		}
		std::copy(users.paths, users.paths + users.count, grown);
		free(static_cast<void *>(users.paths));
		users.paths = grown;
		users.capacity = capacity;
	}
	char *const copy = strdup(canonical);
	if (copy == nullptr)
		users.failed = true;
	else
		users.paths[users.count++] = copy;
}

// A mount of the probe's namespace, as /proc/self/mountinfo has it: the
// file system's device, the directory of it that the mount shows (root),
// where (point), and the file system's type.
struct mount_entry {
	unsigned long major;
	unsigned long minor;
	char *root;
	char *point;
	const char *type;
};

// Decodes mountinfo's octal escapes (\040 for a blank and the like) in place.
void unescape(char *s)
{
	char *out = s;
	for (const char *in = s; *in != '\0'; ++out) {
		bool const octal = in[0] == '\\' && in[1] >= '0' && in[1] <= '3' && in[2] >= '0' && in[2] <= '7' &&
			in[3] >= '0' && in[3] <= '7';
		*out = octal ? static_cast<char>(((in[1] - '0') << 6) | ((in[2] - '0') << 3) | (in[3] - '0')) : *in;
		in += octal ? 4 : 1;
	}
	*out = '\0';
}

// The whole of a file of /proc, as a string from malloc: read again into a
// buffer twice as large while it fills the one it has, as large as it is.
[[nodiscard]] char *read_whole(const char *path)
{
	for (size_t capacity = 16384;; capacity *= 2) {
		std::unique_ptr<char, c_free> text{static_cast<char *>(malloc(capacity))};
		fd_guard const file{open(path, O_RDONLY | O_CLOEXEC)};
		if (!text || file.fd < 0)
			return nullptr;
		size_t size = 0;
		ssize_t n = 0;
		while (size < capacity - 1 && (n = read(file.fd, text.get() + size, capacity - 1 - size)) > 0)
			size += static_cast<size_t>(n);
		if (n < 0)
			return nullptr;
		if (size < capacity - 1) {
			text.get()[size] = '\0';
			return text.release();
		}
	}
}

// Splits the lines of mountinfo in place into mounts, as many as fit.
size_t split_mounts(char *text, mount_entry *mounts, size_t capacity)
{
	size_t count = 0;
	for (char *line = text, *next = nullptr; line != nullptr && *line != '\0' && count < capacity; line = next) {
		next = strchr(line, '\n');
		if (next != nullptr)
			*next++ = '\0';
		// ID PARENT-ID MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [TAG...] - TYPE ...
		char *save = nullptr;
		char *field[5] = {strtok_r(line, " ", &save)};
		for (size_t k = 1; k < std::size(field) && field[k - 1] != nullptr; ++k)
			field[k] = strtok_r(nullptr, " ", &save);
		mount_entry &m = mounts[count];
		char *minor = nullptr;
		if (field[4] == nullptr)
			continue;
		m.major = strtoul(field[2], &minor, 10);
		m.minor = *minor == ':' ? strtoul(minor + 1, nullptr, 10) : ~0UL;
		m.root = field[3];
		m.point = field[4];
		m.type = "";
		for (const char *tag = ""; tag != nullptr && strcmp(tag, "-") != 0;)
			tag = strtok_r(nullptr, " ", &save);
		if (const char *const type = strtok_r(nullptr, " ", &save); type != nullptr)
			m.type = type;
		unescape(m.root);
		unescape(m.point);
		++count;
	}
	return count;
}

// The path into out, or, where it is too long to name, the longest of its
// directories that can be named: no view is missed for its length.
void name_of(const char *path, char (&out)[PATH_MAX])
{
	size_t length = strlen(path);
	if (length >= sizeof out)
		for (length = sizeof out - 1; length > 0 && path[length] != '/';)
			--length;
	memcpy(out, path, length);
	out[length] = '\0';
}

// Where the mount e shows the directory inside (a path in e's file system),
// named into view; false where it does not.
[[nodiscard]] bool view_of(const mount_entry &e, const char *inside, char (&view)[PATH_MAX])
{
	// A mount point is at most a page long, and so is the rest.
	char whole[2 * PATH_MAX];
	if (strcmp(e.root, inside) == 0 || beneath(e.root, inside))
		// The directory, or one in it: all that the mount shows.
		(void)snprintf(whole, sizeof whole, "%s", e.point);
	else if (beneath(inside, e.root))
		// The mount shows a directory that holds it.
		(void)snprintf(whole, sizeof whole, "%s/%s", strcmp(e.point, "/") == 0 ? "" : e.point,
		               inside + (strcmp(e.root, "/") == 0 ? 1 : strlen(e.root) + 1));
	else
		return false;
	name_of(whole, view);
	return true;
}

// The file systems of processes and devices show every process, or device,
// wherever they are mounted (a container's view of its host, a chroot's
// /proc): each such mount is withheld but /proc and /dev, which the lists
// above grant from.
void withhold_by_type(withheld &users, const mount_entry *mounts, const mount_entry *end)
{
	for (const mount_entry *e = mounts; e != end; ++e) {
		char point[PATH_MAX];
		name_of(e->point, point);
		if ((strcmp(e->type, "proc") == 0 || strcmp(e->type, "devtmpfs") == 0 || strcmp(e->type, "devpts") == 0) &&
		    strcmp(point, "/proc") != 0 && strcmp(point, "/dev") != 0)
			withhold(users, point);
	}
}

// Withholds every other view that the mounts give of the first places of
// users. Landlock grants by inode, and follows a path up through the
// directories that a mount covers, so each mount on a place's path counts:
// where its file system is mounted again, the place's path there is
// withheld; where a directory in the place, or the place itself, is
// mounted elsewhere (a bind mount), that mount point. A file mounted over a
// system's file (/etc/hosts in a sandbox or a container) is that file.
// Mounts are told apart by their device; what a file system shows without
// a mount (a hard link, a copy in another file system) cannot be told.
// False where the mounts cannot be read (no /proc), or memory runs out.
bool withhold_views(withheld &users, size_t places)
{
	std::unique_ptr<char, c_free> const text{read_whole("/proc/self/mountinfo")};
	if (!text)
		return false;
	size_t const capacity = static_cast<size_t>(std::count(text.get(), text.get() + strlen(text.get()), '\n')) + 1;
	std::unique_ptr<mount_entry, c_free> const mounts{static_cast<mount_entry *>(calloc(capacity, sizeof(mount_entry)))};
	if (!mounts)
		return false;
	const mount_entry *const end = mounts.get() + split_mounts(text.get(), mounts.get(), capacity);
	withhold_by_type(users, mounts.get(), end);
	for (size_t p = 0; p < places; ++p) {
		const char *const place = users.paths[p];
		for (const mount_entry *on = mounts.get(); on != end; ++on) {
			// The place's path in the file system of a mount on its path.
			char inside[PATH_MAX];
			const char *const rest = place + (strcmp(on->point, "/") == 0 ? 0 : strlen(on->point));
			if ((strcmp(on->point, place) != 0 && !beneath(place, on->point)) ||
			    snprintf(inside, sizeof inside, "%s%s", strcmp(on->root, "/") == 0 ? "" : on->root, rest) >=
			        static_cast<int>(sizeof inside))
				continue;
			for (const mount_entry *e = mounts.get(); e != end; ++e) {
				char view[PATH_MAX];
				struct stat st {};
				if (e->major == on->major && e->minor == on->minor && view_of(*e, inside, view) &&
				    !listed(users, view) && stat(view, &st) == 0 && S_ISDIR(st.st_mode))
					withhold(users, view);
			}
		}
	}
	return true;
}

} // namespace

// Whether the canonical path is a withheld place or lies beneath one.
bool is_withheld(const withheld &users, const char *path)
{
	for (size_t i = 0; i < users.count; ++i)
		if (strcmp(path, users.paths[i]) == 0 || beneath(path, users.paths[i]))
			return true;
	return false;
}

// Whether a withheld place lies beneath the canonical path.
bool holds_withheld(const withheld &users, const char *path)
{
	for (size_t i = 0; i < users.count; ++i)
		if (beneath(users.paths[i], path))
			return true;
	return false;
}

// Writes "dir/name" into out; false where it does not fit.
bool join(char (&out)[PATH_MAX], const char *dir, const char *name)
{
	int const len = snprintf(out, sizeof out, "%s/%s", strcmp(dir, "/") == 0 ? "" : dir, name);
	return len >= 0 && static_cast<size_t>(len) < sizeof out;
}
