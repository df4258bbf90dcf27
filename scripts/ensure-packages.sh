#!/usr/bin/env bash
# Makes sure the Debian packages a job needs are installed: installs them as
# root, or prints the one apt-get line to run and fails.
#
# LLVM 22 (the phone build's clang-22, lld-22, llvm-22, libc++-22-dev) comes
# from Debian 12's security archive, bookworm-security, which a standard
# installation lists but a bare debootstrap root does not: run as root on
# such a system, this adds it first.
# Usage: ensure-packages.sh PACKAGE...
set -euo pipefail

security_line="deb http://deb.debian.org/debian-security bookworm-security main"
security_list=/etc/apt/sources.list.d/bookworm-security.list

missing=()
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Debian 12 (bookworm) whose apt sources do not list its security archive.
lacks_security_archive() {
  grep -qs '^VERSION_CODENAME=bookworm$' /etc/os-release &&
    ! grep -rqs 'bookworm-security' /etc/apt/sources.list /etc/apt/sources.list.d/
}

if [ "$(id -u)" -eq 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  if lacks_security_archive; then
    echo "Adding Debian 12's security archive (for LLVM 22): $security_list" >&2
    echo "$security_line" > "$security_list"
  fi
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
else
  echo "Missing packages. Run as root:" >&2
  if lacks_security_archive; then
    echo "  echo '$security_line' > $security_list" >&2
    echo "  apt-get update" >&2
  fi
  echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
