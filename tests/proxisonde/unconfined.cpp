// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The probe's three calls without its confinement: the control that the
// confined lookup is measured against, and a caller that keeps what
// libproxy hands it, for checking that the suppressions of libproxy's own
// leaks do not hide the caller's:
//   unconfined            frees the answer and the factory
//   unconfined answer     frees the factory, not the answer
//   unconfined factory    frees the answer, not the factory
#include <proxy.h>
#include <stdlib.h>
#include <string.h>

// The signature is main's.
// cppcheck-suppress constParameter
int main(int argc, char *argv[])
{
	bool const keep_answer = argc > 1 && strcmp(argv[1], "answer") == 0;
	bool const keep_factory = argc > 1 && strcmp(argv[1], "factory") == 0;
	pxProxyFactory *const factory = px_proxy_factory_new();
	if (factory == nullptr)
		return 0;
	char **const proxies = px_proxy_factory_get_proxies(factory, "https://www.debian.org");
	if (!keep_answer) {
		for (char **p = proxies; p != nullptr && *p != nullptr; ++p)
			free(*p);
		free(static_cast<void *>(proxies));
	}
	if (!keep_factory)
		px_proxy_factory_free(factory);
	return 0;
}
