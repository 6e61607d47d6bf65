#!/usr/bin/env bash
# Make a fresh machine ready to build and test: CPython 3.14 (provisioned
# privately when the machine lacks it), the C++ test libraries from Debian,
# and a .venv/ at the repository root with the build and test tools.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
log() { printf 'bootstrap: %s\n' "$*" >&2; }

if [ ! -d /usr/src/googletest ] || [ ! -f /usr/include/benchmark/benchmark.h ]; then
  log "installing GoogleTest and Google Benchmark from Debian"
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq googletest libgtest-dev libbenchmark-dev >&2
fi

base=$(tools/provision-python.sh)
venv="$here/.venv"
stamp="$venv/.bootstrap-v2"
if [ -f "$stamp" ] && [ -x "$venv/bin/python" ]; then
  exit 0
fi

log "creating $venv with $base"
rm -rf "$venv"
tools/make-venv.sh "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r tools/requirements-dev.txt
touch "$stamp"
