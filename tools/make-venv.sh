#!/usr/bin/env bash
# Makes a virtual environment from the project's CPython 3.14 with a pip that
# works:
#
#   tools/make-venv.sh DIR            a venv with pip only
#   tools/make-venv.sh --layered DIR  the same, layered over the project's
#                                     .venv: corvalune (as last installed by
#                                     `make install`) and the build and test
#                                     tools are importable in it, and what
#                                     DIR's pip installs comes first
#
# `python -m venv` cannot be used as is with the interpreter provisioned in
# .toolchain/: its ensurepip takes pip from the directory Debian compiled in,
# /usr/share/python-wheels, which on this host holds the host's own pip, too
# old for 3.14. The venv is made without pip, and pip installed from the
# provisioned interpreter's own wheel (ensurepip or PyPI otherwise).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
layered=0
if [ "${1:-}" = "--layered" ]; then
  layered=1
  shift
fi
[ $# -eq 1 ] || { echo "usage: $0 [--layered] DIR" >&2; exit 2; }
dir=$1
log() { printf 'make-venv: %s\n' "$*" >&2; }

base=$("$here/tools/provision-python.sh")
"$base" -m venv --without-pip "$dir"
py="$dir/bin/python"
prefix=$("$base" -c 'import sys; print(sys.prefix)')
wheel=$(ls "$prefix"/share/python-wheels/pip-*.whl 2>/dev/null | sort -V | tail -n 1 || true)
if [ -n "$wheel" ]; then
  "$py" "$wheel/pip" install -q --disable-pip-version-check --no-index "$wheel"
elif ! "$py" -m ensurepip >/dev/null 2>&1; then
  [ -x "$here/.venv/bin/pip" ] || { log "no pip available for $dir"; exit 1; }
  log "no pip wheel beside $base and no ensurepip: installing pip from PyPI"
  "$here/.venv/bin/python" -m pip --python "$py" install -q --disable-pip-version-check pip
fi

if [ "$layered" = 1 ]; then
  project_site=$("$here/.venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  # addsitedir (not a bare path line) so that .venv's own .pth files are read too.
  printf 'import site; site.addsitedir(%s)\n' "$("$py" -c 'import sys; print(repr(sys.argv[1]))' "$project_site")" \
    >"$site/corvalune-project-venv.pth"
fi
log "made $dir"
