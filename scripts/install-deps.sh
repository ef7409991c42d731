#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# skipping those already installed.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libssl-dev libc-ares-dev libtinyxml-dev libmm-dev libgtest-dev
  libacl1-dev libattr1-dev  # a file's copy takes its ACL and extended attributes
  e2fsprogs  # the file tests make and mark small ext2 images (mkfs.ext2, chattr)
  clang libclang-rt-14-dev
  kmod net-tools tar gzip findutils util-linux iproute2 openssl
  gcc libelf1 dpkg apt  # a module built from a real Debian header package (objtool needs libelf)
  python3 curl valgrind
  bash dash  # the job-control shells the prompt tests run the tool under
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
