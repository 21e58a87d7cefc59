// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// What passes between the probe and its confinement: one call.
#ifndef PROXISONDE_CONFINE_H
#define PROXISONDE_CONFINE_H

// Gives up, before the lookup, all that a lookup never needs (confine.cpp
// says what). Returns false where a part that the kernel has could not be
// applied: then no lookup may run.
[[nodiscard]] bool confine();

#endif
