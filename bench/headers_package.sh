#!/bin/sh
# Benchmark by hand (not a test): the tool's kernel-headers package of a real
# Debian header tree, beside a plain tar | gzip of the same file list, and
# the package's size.
#
#   bench/headers_package.sh [path/to/tavrik-setup]
#
# The Debian packages are fetched with apt-get into /var/cache/tavrik-test
# (outside the repository) and unpacked there; nothing is installed.
set -eu

TOOL=${1:-build/tavrik-setup}
CACHE=/var/cache/tavrik-test
ABI=6.1.0-57
ROOT=$CACHE/bench-headers-$ABI
TREE=$ROOT/usr/src/linux-headers-$ABI-amd64

mkdir -p "$CACHE"
cd "$CACHE"
for p in linux-headers-$ABI-amd64 linux-headers-$ABI-common linux-kbuild-6.1; do
	ls "${p}"_*.deb >/dev/null 2>&1 || apt-get download "$p" >/dev/null
done
if [ ! -f "$ROOT.done" ]; then
	rm -rf "$ROOT"; mkdir -p "$ROOT"
	for d in linux-headers-$ABI-amd64_*.deb linux-headers-$ABI-common_*.deb linux-kbuild-6.1_*.deb; do
		dpkg -x "$d" "$ROOT"
	done
	touch "$ROOT.done"
fi
cd - >/dev/null

OUT=$(mktemp -d /tmp/tavrik-bench.XXXXXX)
trap 'rm -rf "$OUT"' EXIT

now() { date +%s.%N; }

t0=$(now)
"$TOOL" --kernel-dir "$TREE" --tarball-only "$OUT/tool.tgz" --force-update --silent >"$OUT/tool.log" 2>&1
t1=$(now)

# The same members, packed by a plain tar | gzip from the same directory.
tar tzf "$OUT/tool.tgz" | grep -v '/$' | grep -v '^\./tmp/' >"$OUT/list"
t2=$(now)
(cd "$TREE" && tar -chf - --no-recursion -T "$OUT/list" | gzip >"$OUT/plain.tgz")
t3=$(now)

members=$(wc -l <"$OUT/list")
echo "header tree:      $TREE"
echo "files packed:     $members"
echo "tool package:     $(stat -c %s "$OUT/tool.tgz") bytes in $(echo "$t1 - $t0" | bc) s"
echo "tar | gzip:       $(stat -c %s "$OUT/plain.tgz") bytes in $(echo "$t3 - $t2" | bc) s"
