#!/usr/bin/env bash
# Provision a private CPython 3.14 (with headers) under .toolchain/ when the
# machine has none.  Debian's unstable suite ships 3.14 as binaries built
# against a newer glibc than the host's, so the packages (glibc included) are
# unpacked into a private root and the interpreter is pointed at that root's
# loader and libraries with patchelf.  The host's apt sources, lists and
# installed packages are never touched.
#
# Prints the path of a python3.14 on stdout.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)

# An interpreter named by the caller, or one already on the machine, wins.
for cand in "${PYTHON:-}" "$(command -v python3.14 || true)"; do
  if [ -n "$cand" ] && [ -x "$cand" ] &&
     "$cand" -c 'import sys, sysconfig, os; assert sys.version_info[:2] == (3, 14); assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
    echo "$cand"
    exit 0
  fi
done

root="$here/.toolchain/cpython-3.14"
py="$root/usr/bin/python3.14"
# WITH_DEBUG_PYTHON=1 adds the debug interpreter python3.14d (for reference
# leak checks) and prints its path instead.
dbg="${WITH_DEBUG_PYTHON:-0}"
stamp="$root/.complete"
dbg_stamp="$root/.complete-dbg"
want="$py"
[ "$dbg" = 0 ] || want="$root/usr/bin/python3.14d"
if [ -f "$stamp" ] && { [ "$dbg" = 0 ] || [ -f "$dbg_stamp" ]; }; then
  echo "$want"
  exit 0
fi

log() { printf 'provision-python: %s\n' "$*" >&2; }

need_host_tool() {
  local tool=$1 pkg=$2
  if ! command -v "$tool" >/dev/null 2>&1; then
    log "installing $pkg"
    apt-get update -qq >&2 || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$pkg" >&2
  fi
}
need_host_tool patchelf patchelf
need_host_tool dpkg-deb dpkg

apt_dir="$here/.toolchain/apt-sid"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/etc/preferences.d" \
         "$apt_dir/empty.d" "$apt_dir/debs" "$apt_dir/debs-dbg"
touch "$apt_dir/status"
cat >"$apt_dir/sources.list" <<'SRC'
deb http://deb.debian.org/debian sid main
SRC
cat >"$apt_dir/apt.conf" <<CONF
Dir::State "$apt_dir";
Dir::State::Lists "$apt_dir/lists";
Dir::State::status "$apt_dir/status";
Dir::Cache "$apt_dir/cache";
Dir::Etc::SourceList "$apt_dir/sources.list";
Dir::Etc::SourceParts "$apt_dir/empty.d";
Dir::Etc::Preferences "$apt_dir/etc/preferences";
Dir::Etc::PreferencesParts "$apt_dir/etc/preferences.d";
Dir::Etc::TrustedParts "/etc/apt/trusted.gpg.d";
APT::Get::List-Cleanup "0";
Acquire::Languages "none";
Acquire::Retries "3";
CONF
export APT_CONFIG="$apt_dir/apt.conf"

libdir="$root/usr/lib/x86_64-linux-gnu"
patch_interpreters() {
  local loader="$libdir/ld-linux-x86-64.so.2"
  local exe
  for exe in "$root/usr/bin/python3.14" "$root/usr/bin/python3.14d"; do
    [ -e "$exe" ] || continue
    exe=$(readlink -f "$exe")
    [ "$(patchelf --print-interpreter "$exe")" = "$loader" ] && continue
    # DT_RPATH (not RUNPATH): it also governs the libraries that the stdlib's
    # extension modules load, so they never resolve against the host's.
    patchelf --set-interpreter "$loader" --force-rpath --set-rpath "$libdir" "$exe"
  done
}

if [ ! -f "$stamp" ]; then
  log "updating the private apt index for sid"
  apt-get update -qq >&2
  pkgs=(libc6 python3.14-minimal libpython3.14-minimal libpython3.14-stdlib libpython3.14
        libpython3.14-dev python3.14 python3.14-dev python3.14-venv libexpat1 zlib1g libffi8
        libssl3t64 libsqlite3-0 libbz2-1.0 liblzma5 libzstd1 libmpdec4 libncursesw6 libtinfo6
        libreadline8t64 libuuid1 libgcc-s1 libstdc++6 libdb5.3t64 libgdbm6t64 python3-pip-whl
        python3-setuptools-whl media-types tzdata libcrypt1)
  log "downloading ${#pkgs[@]} packages"
  (cd "$apt_dir/debs" && rm -f ./*.deb && apt-get download -qq "${pkgs[@]}" >&2)
  rm -rf "$root"
  mkdir -p "$root"
  for deb in "$apt_dir"/debs/*.deb; do dpkg -x "$deb" "$root"; done
  patch_interpreters
  "$py" -c 'import sys, ssl, sqlite3, ctypes, asyncio; print(sys.version)' >&2
  touch "$stamp"
fi

if [ "$dbg" != 0 ] && [ ! -f "$dbg_stamp" ]; then
  log "downloading the debug interpreter"
  apt-get update -qq >&2
  (cd "$apt_dir/debs-dbg" && rm -f ./*.deb && apt-get download -qq python3.14-dbg libpython3.14-dbg >&2)
  for deb in "$apt_dir"/debs-dbg/*.deb; do dpkg -x "$deb" "$root"; done
  patch_interpreters
  "$root/usr/bin/python3.14d" -c 'import sys; sys.gettotalrefcount()' >&2
  touch "$dbg_stamp"
fi
echo "$want"
