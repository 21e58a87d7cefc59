// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// lumivar: set the brightness of one display backlight.
//
//   lumivar DEVICE BRIGHTNESS
//
// A desktop component starts this program with root rights (through pkexec,
// for instance) to change a panel's brightness. It trusts nothing from its
// caller: it checks that both the real and the effective user ID are 0, and
// DEVICE never becomes a path that is opened. DEVICE only selects one entry of
// /sys/class/backlight, by byte-exact comparison with that entry's canonical
// path; the file written is built from the class directory and the entry name
// of the directory listing. The environment is not read.
//
// The answer is the exit status and, on failure, one line on stderr. stdout
// is never written.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>

// glibc 2.38 and later send strtoll to a C23 variant that also reads a 0b
// prefix whenever _GNU_SOURCE is defined, and g++ always defines it. The
// plain symbol strtoll is the classic conversion on every glibc, so it is
// called by that name.
extern "C" long long classic_strtoll(const char *text, char **end, int base) noexcept __asm__("strtoll");

namespace {

enum : int {
	exit_ok = 0,
	exit_failed = 1,
	// 2 is not used, so that it never means anything here
	exit_bad_usage = 3,
	exit_not_root = 4,
};

constexpr char class_dir[] = "/sys/class/backlight";
constexpr char attribute[] = "/brightness";

// One buffer holds the entry path, then the attribute path, then the value.
// The entry path is cut at entry_limit so that appending the attribute always
// fits. An entry name is at most 255 bytes, so the cut never happens in
// practice.
constexpr size_t path_buf_size = 512;
constexpr size_t entry_limit = path_buf_size - (sizeof attribute - 1);
static_assert(entry_limit == 501);
// The brightness is a signed 64-bit integer on every target, 32-bit ones
// among them, where long is 32 bits.
static_assert(sizeof(long long) == 8);

struct dir_closer {
	void operator()(DIR *d) const noexcept { (void)closedir(d); }
};
struct c_free {
	void operator()(char *p) const noexcept { free(p); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;
using unique_cpath = std::unique_ptr<char, c_free>;

// Closes the descriptor when it leaves scope. close() is not retried: after
// EINTR the descriptor is gone already.
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

void usage(const char *name)
{
	fprintf(stderr, "Usage: %s device brightness\n", name);
	fputs("  device:      The backlight directory starting with \"/sys/class/backlight/\"\n", stderr);
	fputs("  brightness:  The new brightness to write\n", stderr);
}

// Writes value to the brightness attribute of the class entry whose canonical
// path is device. Reports its own failures; returns the exit status.
[[nodiscard]] int set_brightness(const char *device, long long value)
{
	unique_dir const dir{opendir(class_dir)};
	if (!dir) {
		int const err = errno;
		fprintf(stderr, "Error: Could not open %s (%d: %s)\n", class_dir, err, strerror(err));
		return exit_failed;
	}

	char path[path_buf_size];
	for (;;) {
		// The end of the listing and a failed read end the scan alike.
		dirent const *const entry = readdir(dir.get());
		if (entry == nullptr) {
			fprintf(stderr, "Error: Could not find the specified backlight \"%s\"\n", device);
			return exit_failed;
		}
		if (entry->d_name[0] == '.')
			continue;
		(void)snprintf(path, entry_limit, "%s/%s", class_dir, entry->d_name);
		// Only the entry side is resolved: the class entries are links into
		// the device tree, and the caller must name the device itself.
		unique_cpath const canonical{realpath(path, nullptr)};
		if (canonical && strcmp(canonical.get(), device) == 0)
			break;
	}

	// The unresolved entry path, so that the file written is always one
	// under the class directory.
	memcpy(path + strlen(path), attribute, sizeof attribute);
	// No O_CREAT, O_TRUNC or O_APPEND: a sysfs attribute takes each write whole.
	fd_guard const file{open(path, O_WRONLY)};
	if (file.fd < 0) {
		int const err = errno;
		fprintf(stderr, "Error: Could not open brightness sysfs file (%d: %s)\n", err, strerror(err));
		return exit_failed;
	}

	// The full 64-bit value: cutting it to 32 bits would turn a request the
	// kernel must refuse into some other, valid brightness.
	int const len = snprintf(path, sizeof path, "%lld", value);
	ssize_t const written = write(file.fd, path, static_cast<size_t>(len));
	if (written < 0) {
		int const err = errno;
		fprintf(stderr, "Error: Writing to file (%d: %s)\n", err, strerror(err));
		return exit_failed;
	}
	if (written != len) {
		fprintf(stderr, "Error: Wrote the wrong length (%d of %d bytes)!\n", static_cast<int>(written), len);
		return exit_failed;
	}
	return exit_ok;
}

// A descriptor 0, 1 or 2 that the caller left closed would be the next one
// opened, the class directory's or the attribute's, and a message meant for
// stderr would land there. Each one that is closed is given /dev/null: a
// closed stderr loses the messages, it never redirects them. Returns false,
// having said why where it can, when that cannot be done.
[[nodiscard]] bool standard_descriptors_open()
{
	for (int fd = 0; fd <= 2; ++fd) {
		if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
			continue;
		// open() takes the lowest free descriptor, which is this one; it
		// stays open as the program's own.
		if (open("/dev/null", O_RDWR) < 0) {
			int const err = errno;
			fprintf(stderr, "Error: Could not open /dev/null (%d: %s)\n", err, strerror(err));
			return false;
		}
	}
	return true;
}

} // namespace

int main(int argc, char *argv[])
{
	// Both IDs, before anything else: a set-user-ID copy keeps the caller's
	// real ID and is refused like any other non-root caller.
	if (getuid() != 0 || geteuid() != 0) {
		fputs("This program can only be used by the root user\n", stderr);
		return exit_not_root;
	}

	if (!standard_descriptors_open())
		return exit_failed;

	if (argc != 3) {
		fputs("Error: Need to be called with exactly two arguments\n", stderr);
		// Started with no argument vector at all, there is no name to show.
		usage(argc > 0 ? argv[0] : "lumivar");
		return exit_bad_usage;
	}

	// Lenient on purpose: base 0 takes decimal, 0x hex and 0 octal (0b is no
	// prefix); no digits read as 0 and trailing characters are ignored. Only a
	// range error refuses the argument. No bounds: the kernel's attribute
	// decides. Where no digit was read the end is the start: that is 0 on
	// every C library, though musl also sets EINVAL for it.
	errno = 0;
	char *end = nullptr;
	long long const value = classic_strtoll(argv[2], &end, 0);
	if (end != argv[2] && errno != 0) {
		int const err = errno;
		fprintf(stderr, "Error: Invalid brightness argument (%d: %s)\n", err, strerror(err));
		usage(argv[0]);
		return exit_failed;
	}

	return set_brightness(argv[1], value);
}
