#!/usr/bin/env bash
# Installs those of the given Debian packages that are not installed yet, with
# apt-get (through sudo when not root). Prints what it installs; exits non-zero
# when it cannot.
#   tools/install_missing.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "== installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "installing ${missing[*]} needs root" >&2; exit 1; }
    sudo=sudo
fi
command -v apt-get >/dev/null || { echo "installing ${missing[*]} needs apt-get" >&2; exit 1; }
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
