#!/usr/bin/env bash
# Upload benchmark, run by hand (not a test), as root on Debian 12:
#
#   bench/upload_bench.sh [runs]      (default 7 runs of each client per size;
#                                      BENCH_SIZES=16,64 picks the package sizes in MiB)
#
# Installs what is missing (the build's packages, curl, openssl, nginx),
# builds the driver in build-bench, and then, in a private network namespace
# with only lo up, starts nginx on 127.0.0.1:443 with a self-signed
# certificate and has the driver (bench/upload_bench.cc) time the tool's
# upload beside `curl -F` for packages of 16, 64 and 256 MiB.
#
# nginx reads the whole request body before it answers: /process.php is
# proxied to a second server on 127.0.0.1:8080 that answers "queued", and a
# proxied request goes upstream only once its body has been read in full
# (held in memory, so no disk write slows the server). The body itself is not
# passed on. It answers "Expect: 100-continue" at once, as any nginx does.
# Keep-alive is nginx's own: it keeps each connection open after its reply,
# and a client that waited for the close would wait for its time-out.
set -euo pipefail
# The script starts itself again in the namespace, after the cd below: by a
# path that holds from any directory.
self=$(realpath "$0")
cd "$(dirname "$self")/.."
. bench/bench-lib.sh

runs=${1:-7}

if [ "${BENCH_IN_NAMESPACE:-}" != 1 ]; then
	bench_need_root
	scripts/install-deps.sh >&2
	bench_need_packages nginx curl openssl iproute2
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-bench -j"$(nproc)" --target upload_bench >/dev/null
	BENCH_IN_NAMESPACE=1 exec unshare -n -- "$self" "$@"
fi

# In the private network namespace from here on.
ip link set lo up
work=$(mktemp -d /tmp/tavrik-upload-bench.XXXXXX)
chmod 755 "$work"  # nginx's workers run as an unprivileged user
stop() {
	[ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
	sleep 0.2
	rm -rf "$work"
}
trap stop EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
	-keyout "$work/server.key" -out "$work/server.crt" 2>/dev/null

cat >"$work/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
	log_format bench '\$request_length \$status \$request_time';
	access_log $work/access.log bench;
	client_body_temp_path $work/body;
	proxy_temp_path $work/proxy;
	fastcgi_temp_path $work/fastcgi;
	uwsgi_temp_path $work/uwsgi;
	scgi_temp_path $work/scgi;
	server {
		listen 127.0.0.1:443 ssl;
		ssl_certificate $work/server.crt;
		ssl_certificate_key $work/server.key;
		# What a current server offers (1.22 leaves TLS 1.3 out by default).
		ssl_protocols TLSv1.2 TLSv1.3;
		client_max_body_size 0;
		client_body_buffer_size 512m;
		location = /process.php {
			proxy_pass http://127.0.0.1:8080/done;
			proxy_pass_request_body off;
			proxy_set_header Content-Length "";
			proxy_set_header Content-Type "";
		}
	}
	server {
		listen 127.0.0.1:8080;
		access_log off;
		default_type text/plain;
		location / { return 200 "queued\n"; }
	}
}
EOF
nginx -q -e "$work/error.log" -p "$work" -c "$work/nginx.conf"

bench_machine
build-bench/bench/upload_bench --url https://127.0.0.1/process.php --work "$work" \
	--access-log "$work/access.log" --runs "$runs" --sizes "${BENCH_SIZES:-16,64,256}"
