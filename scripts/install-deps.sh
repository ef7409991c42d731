#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# skipping those already installed, and makes sure apt's lists name the
# packages the Debian header-tree tests fetch (tests/debian_tree_e2e_test.cc).
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libssl-dev libc-ares-dev libtinyxml-dev libmm-dev libgtest-dev
  libacl1-dev libattr1-dev  # a file's copy takes its ACL and extended attributes
  zlib1g-dev  # gzip and deflate coded replies are inflated
  e2fsprogs  # the file tests make and mark small ext2 images (mkfs.ext2, chattr)
  clang libclang-rt-14-dev
  kmod net-tools tar gzip findutils util-linux iproute2 openssl
  gcc libelf1 dpkg apt  # a module built from a real Debian header package (objtool needs libelf)
  python3 curl valgrind
  bash dash  # the job-control shells the prompt tests run the tool under
  strace  # the file tests kill the tool at each system call of a write
)

# The header-tree tests fetch, at the version apt would install now, the
# headers of the kernel ABI that linux-headers-amd64 depends on, the common
# and kbuild packages those depend on, and that ABI's cloud image: apt's
# lists must name them all, each with a candidate version. A machine without
# lists (or with lists from before that kernel) gets them from apt-get update.
lists_name_test_packages() {
  local flavour abi wanted
  [ "$(dpkg --print-architecture)" = amd64 ] || return 0  # the tests need amd64 packages
  flavour=$(apt-cache depends linux-headers-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-headers-.*-amd64\)$/\1/p' | head -n1)
  [ -n "$flavour" ] || return 1
  abi=${flavour#linux-headers-}
  abi=${abi%-amd64}
  wanted=("$flavour" "linux-image-$abi-cloud-amd64")
  wanted+=($(apt-cache depends "$flavour" 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-headers-.*-common\|linux-kbuild-.*\)$/\1/p'))
  [ ${#wanted[@]} -eq 4 ] || return 1
  [ "$(apt-cache policy "${wanted[@]}" 2>/dev/null |
    awk '$1 == "Candidate:" && $2 != "(none)"' | wc -l)" -eq ${#wanted[@]} ]
}

# A mirror keeps only its current kernel packages: lists older than a day
# may name versions it no longer has.
lists_are_stale() {
  [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*InRelease' -mtime -1 2>/dev/null | head -n1)" ]
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "$(id -u)" -ne 0 ]; then sudo=sudo; else sudo=; fi
updated=
if [ ${#missing[@]} -gt 0 ] || lists_are_stale || ! lists_name_test_packages; then
  echo "Updating apt's lists"
  $sudo apt-get update -q
  updated=1
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
if [ -n "$updated" ] && ! lists_name_test_packages; then
  echo "warning: apt's lists lack the Debian header packages of linux-headers-amd64;" \
    "the Debian header-tree tests will fail (TAVRIK_ALLOW_MISSING_HEADER_PACKAGES=1 lets them skip)" >&2
fi
