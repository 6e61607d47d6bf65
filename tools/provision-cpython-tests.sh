#!/usr/bin/env bash
# Fetch CPython's own concurrent.futures test suite (Debian's
# libpython3.14-testsuite) into .toolchain/cpython-tests/, for running its
# generic executor tests against corvalune.Executor. Prints the folder that
# holds test_concurrent_futures/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dest="$here/.toolchain/cpython-tests"
if [ -f "$dest/.complete" ]; then echo "$dest"; exit 0; fi
tools/provision-python.sh >/dev/null  # sets up the private apt configuration
export APT_CONFIG="$here/.toolchain/apt-sid/apt.conf"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download -qq libpython3.14-testsuite >&2 2>/dev/null || { apt-get update -qq >&2 && apt-get download -qq libpython3.14-testsuite >&2; })
dpkg -x "$work"/libpython3.14-testsuite_*.deb "$work/root"
rm -rf "$dest"
mkdir -p "$dest"
cp -r "$work/root/usr/lib/python3.14/test/test_concurrent_futures" "$dest/"
touch "$dest/.complete"
echo "$dest"
