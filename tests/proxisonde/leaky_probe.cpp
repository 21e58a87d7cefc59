// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// A probe that keeps what libproxy hands it, for checking that the
// suppressions of libproxy's own leaks do not hide the caller's:
//   leaky_probe            frees the factory, not the answer
//   leaky_probe factory    frees the answer, not the factory (any argument)
#include <proxy.h>
#include <stdlib.h>

int main(int argc, char * /*argv*/[])
{
	bool const keep_answer = argc < 2;
	pxProxyFactory *const factory = px_proxy_factory_new();
	if (factory == nullptr)
		return 2;
	char **const proxies = px_proxy_factory_get_proxies(factory, "https://www.debian.org");
	if (!keep_answer) {
		for (char **p = proxies; p != nullptr && *p != nullptr; ++p)
			free(*p);
		free(static_cast<void *>(proxies));
		return 0;
	}
	px_proxy_factory_free(factory);
	return 0;
}
