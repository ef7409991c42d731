#!/usr/bin/env bash
# Header package benchmark, run by hand (not a test), as root on Debian 12:
#
#   bench/headers_package.sh [runs] [path/to/tavrik-setup]   (default 5 runs)
#
# Packs a real Debian kernel header tree with the tool's --tarball-only and
# with a plain `tar | gzip` of the same member list, one after the other in
# alternating order after one warm-up run of each, and prints for each the
# median and the spread (min-max) of the wall time, and the ratio tool/plain.
#
# The header version is the one that linux-headers-amd64 depends on now, so
# the benchmark follows the archive. Its packages (the headers, their common
# part and kbuild), each at the version apt would install now, are fetched
# with apt-get download into /var/cache/tavrik-test (outside the repository)
# and unpacked there; nothing of them is installed. Without a tool path given, the tool is built in
# build-bench. Everything runs in a private network namespace.
set -euo pipefail
runs=${1:-5}
[ $# -lt 2 ] || TOOL=$(realpath "$2")
# The script starts itself again in the namespace, after the cd below: by a
# path that holds from any directory.
self=$(realpath "$0")
cd "$(dirname "$self")/.."
. bench/bench-lib.sh
TOOL=${TOOL:-$PWD/build-bench/tavrik-setup}

if [ "${BENCH_IN_NAMESPACE:-}" != 1 ]; then
	bench_need_root
	scripts/install-deps.sh >&2
	if [ $# -lt 2 ]; then
		cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
		cmake --build build-bench -j"$(nproc)" --target tavrik-setup >/dev/null
	fi

	apt-get update -qq >&2
	headers=$(apt-cache depends linux-headers-amd64 | awk '$1 == "Depends:" && $2 ~ /^linux-headers-/ { print $2; exit }')
	abi=${headers#linux-headers-}
	abi=${abi%-amd64}
	[ -n "$abi" ] && [ "$abi" != "$headers" ] || { echo "no header version from linux-headers-amd64" >&2; exit 1; }
	# The common part and kbuild, as that package names them.
	mapfile -t parts < <(apt-cache depends "$headers" |
		awk '$1 == "Depends:" && ($2 ~ /^linux-headers-.*-common$/ || $2 ~ /^linux-kbuild-/) { print $2 }')

	# Each package at the version apt would install now: a cached file of
	# another version (kbuild keeps its name as the archive moves on) is not
	# taken, and the tree is unpacked again unless its marker names the very
	# files wanted.
	cache=/var/cache/tavrik-test
	mkdir -p "$cache"
	debs=() header_version=
	for p in "$headers" "${parts[@]}"; do
		v=$(apt-cache policy "$p" | awk '$1 == "Candidate:" { print $2 }')
		[ -n "$v" ] && [ "$v" != "(none)" ] || { echo "apt knows no version of $p" >&2; exit 1; }
		[ -n "$header_version" ] || header_version=$v
		# apt-get download writes an epoch's colon as %3a.
		pattern="${p}_${v//:/%3a}_*.deb"
		f=$(cd "$cache" && compgen -G "$pattern" | head -n1) || true
		if [ -z "$f" ]; then
			(cd "$cache" && apt-get download "$p=$v" >/dev/null)
			f=$(cd "$cache" && compgen -G "$pattern" | head -n1) || true
			[ -n "$f" ] || { echo "apt-get download $p=$v left no $pattern in $cache" >&2; exit 1; }
		fi
		debs+=("$f")
	done
	root=$cache/bench-headers-${abi}_$header_version
	if [ "$(cat "$root.done" 2>/dev/null)" != "${debs[*]}" ]; then
		rm -rf "$root"
		mkdir -p "$root"
		for f in "${debs[@]}"; do dpkg -x "$cache/$f" "$root"; done
		echo "${debs[*]}" >"$root.done"
	fi
	BENCH_IN_NAMESPACE=1 BENCH_TREE=$root/usr/src/$headers exec unshare -n -- "$self" "$runs" "$TOOL"
fi

# In the private network namespace from here on.
ip link set lo up
TREE=$BENCH_TREE
OUT=$(mktemp -d /tmp/tavrik-bench.XXXXXX)
trap 'rm -rf "$OUT"' EXIT

tool_run() {
	rm -f "$OUT/tool.tgz"
	"$TOOL" --kernel-dir "$TREE" --tarball-only "$OUT/tool.tgz" --force-update --silent >"$OUT/tool.log" 2>&1 || true
	[ -s "$OUT/tool.tgz" ] || { echo "the tool made no package:" >&2; cat "$OUT/tool.log" >&2; exit 1; }
}
plain_run() {
	(cd "$TREE" && tar -chf - --no-recursion -T "$OUT/list" | gzip >"$OUT/plain.tgz")
}
timed() {
	local t0 t1
	t0=$(bench_now)
	"$@"
	t1=$(bench_now)
	bench_elapsed "$t0" "$t1"
}

# Warm-up, which also gives the member list: the tool's package less its
# directories and its copy of /proc/version.
tool_run
tar tzf "$OUT/tool.tgz" | grep -v '/$' | grep -v '^\./tmp/' >"$OUT/list"
plain_run

: >"$OUT/tool.times"
: >"$OUT/plain.times"
for ((i = 0; i < runs; i++)); do
	if ((i % 2 == 0)); then
		timed tool_run >>"$OUT/tool.times"
		timed plain_run >>"$OUT/plain.times"
	else
		timed plain_run >>"$OUT/plain.times"
		timed tool_run >>"$OUT/tool.times"
	fi
done

read -r tmed tmin tmax < <(bench_stats <"$OUT/tool.times")
read -r pmed pmin pmax < <(bench_stats <"$OUT/plain.times")
bench_machine
echo "header tree: $TREE ($(wc -l <"$OUT/list") files packed)"
echo "$runs runs of each, alternating, after one warm-up run of each"
printf '%-12s %9s %15s %14s\n' "" "median s" "min-max s" "package bytes"
printf '%-12s %9s %15s %14s\n' "tool" "$tmed" "$tmin-$tmax" "$(stat -c %s "$OUT/tool.tgz")"
printf '%-12s %9s %15s %14s\n' "tar | gzip" "$pmed" "$pmin-$pmax" "$(stat -c %s "$OUT/plain.tgz")"
printf '%-12s %9s\n' "tool/plain" "$(awk -v a="$tmed" -v b="$pmed" 'BEGIN { printf "%.2f", a / b }')"
