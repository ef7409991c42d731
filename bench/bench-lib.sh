# Helpers shared by the benchmark scripts (sourced, not run).

# Installs the Debian packages named that are not installed yet.
bench_need_packages() {
	local missing=() p
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
	done
	[ ${#missing[@]} -gt 0 ] || return 0
	echo "Installing: ${missing[*]}" >&2
	# No service of a package installed here starts on the machine (nginx
	# would listen on port 80): the benchmarks run their own, in private.
	local guard=/usr/sbin/policy-rc.d ours= status=0
	if [ ! -e "$guard" ]; then
		printf '#!/bin/sh\nexit 101\n' >"$guard" && chmod 755 "$guard" && ours=1
	fi
	apt-get update -q >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2 || status=$?
	[ -z "$ours" ] || rm -f "$guard"
	return "$status"
}

bench_need_root() {
	if [ "$(id -u)" -ne 0 ]; then
		echo "$0: run as root (it installs packages and uses a private network namespace)" >&2
		exit 1
	fi
}

# The median, smallest and largest of the numbers on standard input, one a
# line: "median min max".
bench_stats() {
	sort -g | awk '{ v[NR] = $1 } END {
		if (NR == 0) exit 1
		m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
		printf "%.3f %.3f %.3f\n", m, v[1], v[NR]
	}'
}

bench_now() { date +%s.%N; }

# Seconds between two bench_now readings.
bench_elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", b - a }'; }

# The machine the figures came from.
bench_machine() {
	echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(date -u +%Y-%m-%d)"
}
