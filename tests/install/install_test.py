#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
"""The installed tree and the polkit action that ties pkexec to lumivar. TAP."""
import fnmatch
import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import xml.etree.ElementTree as ET

from helpers import Tap

MESON = os.environ['MESON']
SOURCE_ROOT = os.environ['SOURCE_ROOT']
BUILD_ROOT = os.environ['BUILD_ROOT']
LIBEXECDIR = os.environ['LIBEXECDIR']
MANDIR = os.environ['MANDIR']
# What is built: the environment names each program that is.
LUMIVAR = 'LUMIVAR' in os.environ
PROXISONDE = 'PROXISONDE' in os.environ
POLICYDIR = os.environ.get('POLICYDIR')
ACTION = 'org.lumivar.set-brightness'
DTD = '/usr/share/polkit-1/policyconfig-1.dtd'
EXEC_PATH = 'org.freedesktop.policykit.exec.path'

tap = Tap()


def policy_problems(path, lumivar):
    """What is wrong with the action file at path, for lumivar installed at lumivar."""
    action = ET.parse(path).getroot().find(f"action[@id='{ACTION}']")
    if action is None:
        return [f'no action {ACTION}']
    annotations = {a.get('key'): a.text for a in action.findall('annotate')}
    defaults = {d.tag: d.text for d in action.find('defaults')}
    problems = [] if annotations == {EXEC_PATH: lumivar} else [f'annotations {annotations}, want exec.path {lumivar}']
    if defaults != {'allow_any': 'no', 'allow_inactive': 'no', 'allow_active': 'yes'}:
        problems.append(f'defaults {defaults}')
    if not (action.findtext('description') and action.findtext('message')):
        problems.append('no description or message')
    return problems


def installed_files(dest):
    subprocess.run([MESON, 'install', '-C', BUILD_ROOT, '--no-rebuild', '--destdir', dest],
                   check=True, capture_output=True)
    got = {}
    for top, _, files in os.walk(dest):
        for f in files:
            path = os.path.join(top, f)
            got['/' + os.path.relpath(path, dest)] = oct(stat.S_IMODE(os.lstat(path).st_mode))
    want = {}
    if LUMIVAR:
        want |= {f'{LIBEXECDIR}/lumivar': '0o755', f'{POLICYDIR}/org.lumivar.policy': '0o644',
                 f'{MANDIR}/man8/lumivar.8': '0o644'}
    if PROXISONDE:
        want |= {f'{LIBEXECDIR}/proxisonde': '0o755', f'{MANDIR}/man8/proxisonde.8': '0o644'}
    return [] if got == want else [f'{got}']


def valid_by_dtd(policy):
    p = subprocess.run(['xmllint', '--nonet', '--noout', '--dtdvalid', DTD, policy], capture_output=True, text=True)
    return [p.stderr] if p.returncode else []


def other_prefix(build, options):
    setup = subprocess.run([MESON, 'setup', build, SOURCE_ROOT, '-Dproxisonde=disabled', '-Dtests=false', *options],
                           check=True, capture_output=True, text=True).stdout
    # polkitd reads /usr/share/polkit-1/actions alone: elsewhere the setup warns.
    warns = 'WARNING: polkitd reads its actions from /usr/share/polkit-1/actions alone' in setup
    problems = [] if warns == ('--prefix=/usr' not in options) else [f'setup warns: {warns}']
    installed = json.loads(subprocess.run([MESON, 'introspect', build, '--installed'], check=True,
                                          capture_output=True, text=True).stdout)
    lumivar = [dest for src, dest in installed.items() if src.endswith('/lumivar')]
    return problems + policy_problems(os.path.join(build, 'backlight_helper', 'org.lumivar.policy'),
                                      lumivar[0] if lumivar else None)


def installed_tests(build, dest):
    """An install with the installed tests has no file that a package tool
    would take for a library: none named lib*.so*, none whose soname is
    libproxy's."""
    subprocess.run([MESON, 'setup', build, SOURCE_ROOT, '-Dinstalled_tests=true', '-Dtests=false'], check=True,
                   capture_output=True)
    subprocess.run([MESON, 'install', '-C', build, '--destdir', dest], check=True, capture_output=True)
    problems = []
    for top, _, files in os.walk(dest):
        for f in files:
            path = os.path.join(top, f)
            if fnmatch.fnmatch(f, 'lib*.so*'):
                problems.append(f'named as a library: {path}')
            with open(path, 'rb') as elf:
                if elf.read(4) != b'\x7fELF':
                    continue
            dynamic = subprocess.run(['readelf', '-d', path], capture_output=True, text=True).stdout
            if re.search(r'\(SONAME\).*\[libproxy\.so', dynamic):
                problems.append(f"libproxy's soname: {path}")
    return problems


def main():
    with tempfile.TemporaryDirectory() as tmp:
        dest = os.path.join(tmp, 'dest')
        tap.attempt('meson install: the files and modes, nothing set-user-ID', lambda: installed_files(dest))
        name = '-Dinstalled_tests=true: no file named as a library, no soname of libproxy'
        if shutil.which('readelf'):
            tap.attempt(name, lambda: installed_tests(os.path.join(tmp, 'installed'), os.path.join(tmp, 'dest-tests')))
        else:
            tap.skip(name, 'no readelf (binutils) here')
        if not LUMIVAR:
            tap.done()
        policy = dest + POLICYDIR + '/org.lumivar.policy'
        tap.attempt('the installed action runs the installed lumivar',
                    lambda: policy_problems(policy, f'{LIBEXECDIR}/lumivar'))
        if shutil.which('xmllint') and os.path.exists(DTD):
            tap.attempt("the action is valid by polkit's DTD", lambda: valid_by_dtd(policy))
        else:
            tap.skip("the action is valid by polkit's DTD", f'no xmllint or {DTD}')
        for options in (['--prefix=/opt/lumivar'], ['--prefix=/usr', '--libexecdir=lib/lumivar-helpers']):
            build = os.path.join(tmp, 'build' + str(len(options)))
            tap.attempt(f'{" ".join(options)}: exec.path is where lumivar installs, a warning where polkitd does not read',
                        lambda: other_prefix(build, options))
    tap.done()


main()
