// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// A stand-in for libproxy.so.1 that records every call, so that the tests see
// what proxisonde asks of the library. PROXY_STUB_LOG names the file the
// calls are appended to, one a line; it is opened when the library is loaded,
// before the probe gives up its rights to write. PROXY_STUB=no-factory makes
// creation give no factory; PROXY_STUB=no-answer makes the lookup return
// nothing; PROXY_STUB=write makes the lookup try each kind of write in the
// directory PROXY_STUB_DIR, as a hostile proxy script would, and read a file
// there, each recorded as "try NAME RESULT".
//
// The factory type is opaque, and incomplete in some versions of the header,
// so the factory is a byte from malloc: a run under valgrind then also shows
// a factory that is not freed, or freed twice.
#include <errno.h>
#include <fcntl.h>
#include <proxy.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

int log_fd = -1;

[[gnu::constructor]] void open_log()
{
	const char *const name = getenv("PROXY_STUB_LOG");
	if (name != nullptr)
		log_fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

bool mode_is(const char *mode)
{
	const char *const m = getenv("PROXY_STUB");
	return m != nullptr && strcmp(m, mode) == 0;
}

// Appends "CALL FACTORY" or "CALL FACTORY URL" to the record.
void record(const char *call, const pxProxyFactory *factory, const char *url = nullptr)
{
	if (log_fd < 0 || dprintf(log_fd, "%s %p%s%s\n", call, static_cast<const void *>(factory),
	                          url != nullptr ? " " : "", url != nullptr ? url : "") < 0)
		abort();
}

void attempt(const char *name, bool done)
{
	if (dprintf(log_fd, "try %s %s\n", name, done ? "done" : strerror(errno)) < 0)
		abort();
}

bool write_closed(int fd, const char *text)
{
	bool const ok = fd >= 0 && write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
	if (fd >= 0)
		close(fd);
	return ok;
}

// Each kind of write on the files that the test laid out in dir, then a read.
void try_writes(const std::string &dir)
{
	attempt("create", write_closed(open((dir + "/created").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644), "x"));
	attempt("append", write_closed(open((dir + "/kept").c_str(), O_WRONLY | O_APPEND), "x"));
	attempt("mkdir", mkdir((dir + "/made").c_str(), 0755) == 0);
	attempt("remove", unlink((dir + "/doomed").c_str()) == 0);
	attempt("rename", rename((dir + "/moved").c_str(), (dir + "/renamed").c_str()) == 0);
	attempt("truncate", truncate((dir + "/long").c_str(), 0) == 0);
	char text[64] = "";
	int const fd = open((dir + "/kept").c_str(), O_RDONLY);
	ssize_t const got = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
	if (fd >= 0)
		close(fd);
	if (dprintf(log_fd, "try read %s\n", got >= 0 ? text : strerror(errno)) < 0)
		abort();
}

} // namespace

pxProxyFactory *px_proxy_factory_new(void)
{
	pxProxyFactory *factory = nullptr;
	if (!mode_is("no-factory")) {
		factory = static_cast<pxProxyFactory *>(malloc(1));
		if (factory == nullptr)
			abort();
	}
	record("new", factory);
	return factory;
}

// The signature is libproxy's.
// cppcheck-suppress constParameterPointer
char **px_proxy_factory_get_proxies(pxProxyFactory *self, const char *url)
{
	record("get_proxies", self, url);
	const char *const dir = getenv("PROXY_STUB_DIR");
	if (mode_is("write") && dir != nullptr)
		try_writes(dir);
	if (mode_is("no-answer"))
		return nullptr;
	// Allocated as libproxy does: the caller frees each string, then the array.
	char **const proxies = static_cast<char **>(calloc(3, sizeof *proxies));
	if (proxies == nullptr)
		abort();
	proxies[0] = strdup("http://127.0.0.1:3128");
	proxies[1] = strdup("direct://");
	if (proxies[0] == nullptr || proxies[1] == nullptr)
		abort();
	return proxies;
}

void px_proxy_factory_free(pxProxyFactory *self)
{
	record("free", self);
	free(self);
}
