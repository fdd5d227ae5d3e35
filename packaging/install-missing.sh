#!/bin/bash
# Installs those of the Debian packages named as arguments that this machine
# lacks: apt-get update, then apt-get install of only the missing ones, as
# root directly, otherwise through sudo where there is one. With neither it
# prints the apt-get line to run as root and exits with 1. Where there is no
# dpkg it installs nothing and leaves it to the build to say what is missing.
set -euo pipefail

if ! command -v dpkg-query >/dev/null; then
    echo "Not a Debian system: install these yourself if they are missing: $*"
    exit 0
fi
missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
        || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing missing Debian packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
    apt-get update
    apt-get install -y "${missing[@]}"
elif command -v sudo >/dev/null; then
    sudo apt-get update
    sudo apt-get install -y "${missing[@]}"
else
    echo "There is no sudo here. As root, run:"
    echo "apt-get update && apt-get install ${missing[*]}"
    exit 1
fi
