#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
# lint.sh fatal|warn TOOL [ARG...]: runs a lint tool, its report on stderr.
# Its findings are warnings: they fail the test where warnings are fatal
# (fatal), and elsewhere the test is skipped with a line that says so.
set -u
mode=$1
shift
"$@" >&2 && exit 0
status=$?
[ "$mode" = fatal ] && exit $status
echo "${1##*/} has findings (on stderr); they are warnings in a build without -Dwerror=true"
exit 77
