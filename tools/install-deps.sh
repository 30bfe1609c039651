#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -u
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A package such as wine32:i386 needs its architecture added before the update.
for pkg in "${missing[@]}"; do
  case "$pkg" in
    *:*) arch=${pkg##*:}
         dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch" ;;
  esac
done
if ! { apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null; }; then
  echo "Could not install: ${missing[*]}" >&2
  exit 1
fi
