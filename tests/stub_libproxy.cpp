// A stand-in for libproxy.so.1 that records every call, so that the tests see
// what proxisonde asks of the library. PROXY_STUB_LOG names the file the
// calls are appended to, one a line. PROXY_STUB=no-factory makes creation
// give no factory; PROXY_STUB=no-answer makes the lookup return nothing.
#include <proxy.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct pxProxyFactory_ {
	int unused;
};

namespace {

pxProxyFactory the_factory;

bool mode_is(const char *mode)
{
	const char *const m = getenv("PROXY_STUB");
	return m != nullptr && strcmp(m, mode) == 0;
}

__attribute__((format(printf, 1, 2))) void record(const char *format, ...)
{
	const char *const name = getenv("PROXY_STUB_LOG");
	FILE *const log = name != nullptr ? fopen(name, "a") : nullptr;
	if (log == nullptr)
		abort();
	va_list args;
	va_start(args, format);
	vfprintf(log, format, args);
	va_end(args);
	fputc('\n', log);
	fclose(log);
}

} // namespace

pxProxyFactory *px_proxy_factory_new(void)
{
	pxProxyFactory *const factory = mode_is("no-factory") ? nullptr : &the_factory;
	record("new %p", static_cast<void *>(factory));
	return factory;
}

char **px_proxy_factory_get_proxies(pxProxyFactory *self, const char *url)
{
	record("get_proxies %p %s", static_cast<void *>(self), url);
	if (mode_is("no-answer"))
		return nullptr;
	// Allocated as libproxy does: the caller frees each string, then the array.
	char **const proxies = static_cast<char **>(calloc(3, sizeof *proxies));
	if (proxies == nullptr || (proxies[0] = strdup("http://127.0.0.1:3128")) == nullptr ||
	    (proxies[1] = strdup("direct://")) == nullptr)
		abort();
	return proxies;
}

void px_proxy_factory_free(pxProxyFactory *self)
{
	record("free %p", static_cast<void *>(self));
}
