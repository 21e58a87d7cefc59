// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// The probe's Landlock ruleset (landlock.cpp says what it grants).
#ifndef PROXISONDE_LANDLOCK_H
#define PROXISONDE_LANDLOCK_H

// Confines the probe with Landlock where the kernel has it. False where it
// has Landlock and the probe could not confine itself with it.
[[nodiscard]] bool restrict_access();

#endif
