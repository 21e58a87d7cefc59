// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The probe's seccomp filter (filter.cpp says what it refuses).
#ifndef PROXISONDE_FILTER_H
#define PROXISONDE_FILTER_H

// Built with AddressSanitizer, whose runtime the confinement must leave
// what it needs: ptrace (the filter), and data without a limit. (cppcheck
// takes __has_feature for defined, and cannot evaluate it.)
#ifdef __SANITIZE_ADDRESS__
#define PROBE_ADDRESS_SANITIZER 1
#elif defined(__has_feature) && !defined(__CPPCHECK__)
#if __has_feature(address_sanitizer)
#define PROBE_ADDRESS_SANITIZER 1
#endif
#endif

// Sets the filter where the kernel has filters that answer with an error
// and the filter knows the target. False where the kernel has them and
// refused the filter.
[[nodiscard]] bool filter_calls();

#endif
