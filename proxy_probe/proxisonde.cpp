// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// proxisonde: have libproxy look up the proxies for one fixed URL, once.
//
// A desktop starts this program so that whatever proxy discovery libproxy
// performs for the lookup (WPAD among it) happens in this short-lived process
// and not in the desktop's own. The caller watches for the end and kills the
// probe on its own timeout; the probe has none.
//
// Discovery may run a proxy auto-config script that the local network sends,
// so the lookup runs confined (confine.cpp). Arguments are ignored. Nothing
// is printed and the status is always 0.

#include <proxy.h>
#include <stdlib.h>

#include <memory>

#include "confine.h"

namespace {

// The root of a well-known public site: scheme and host, nothing after it.
constexpr char probe_url[] = "https://www.debian.org";

struct factory_free {
	void operator()(pxProxyFactory *factory) const noexcept { px_proxy_factory_free(factory); }
};

// The answer is a NULL-terminated array of strings, each from malloc, which
// the caller frees: every string, then the array.
struct proxies_free {
	void operator()(char **proxies) const noexcept
	{
		for (char **p = proxies; *p != nullptr; ++p)
			free(*p);
		free(static_cast<void *>(proxies));
	}
};

} // namespace

int main()
{
	// The lookup never runs with more than it needs.
	if (!confine())
		return 0;

	std::unique_ptr<pxProxyFactory, factory_free> const factory{px_proxy_factory_new()};
	// libproxy does not check its factory argument: without one, no lookup.
	if (!factory)
		return 0;

	// Only the discovery that the lookup causes matters, not its answer.
	std::unique_ptr<char *, proxies_free> const proxies{
		px_proxy_factory_get_proxies(factory.get(), probe_url)};
	return 0;
}
