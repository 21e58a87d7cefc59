// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// A stand-in for libproxy.so.1 that records every call, so that the tests see
// what proxisonde asks of the library. PROXY_STUB_LOG names the file the
// calls are appended to, one a line. PROXY_STUB=no-factory makes creation
// give no factory; PROXY_STUB=no-answer makes the lookup return nothing.
//
// The factory type is opaque, and incomplete in some versions of the header,
// so the factory is a byte from malloc: a run under valgrind then also shows
// a factory that is not freed, or freed twice.
#include <proxy.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool mode_is(const char *mode)
{
	const char *const m = getenv("PROXY_STUB");
	return m != nullptr && strcmp(m, mode) == 0;
}

// Appends "CALL FACTORY" or "CALL FACTORY URL" to the record.
void record(const char *call, const pxProxyFactory *factory, const char *url = nullptr)
{
	const char *const name = getenv("PROXY_STUB_LOG");
	FILE *const log = name != nullptr ? fopen(name, "a") : nullptr;
	if (log == nullptr)
		abort();
	fprintf(log, "%s %p", call, static_cast<const void *>(factory));
	if (url != nullptr)
		fprintf(log, " %s", url);
	fputc('\n', log);
	fclose(log);
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
