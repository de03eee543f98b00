#!/bin/sh
# Runs bench_transfer with a private nginx beside it for the download
# comparison: nginx serves the file that bench_transfer writes in its disk
# test, on 127.0.0.1 only, from a temporary folder that holds its config, pid
# file, temp paths and logs. The system's nginx service is never started,
# stopped or reconfigured; our master runs with -p and -c and is stopped at the
# end (also on error or interrupt).
#
#   bench/transfer-nginx.sh [bench_transfer options, e.g. --mib 64]
#
# Environment: ORDEX_BUILD (build folder holding bench_transfer, default
# build-load next to this folder), ORDEX_NGINX_PORT (default 18080).
set -eu

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${ORDEX_BUILD:-$HERE/../build-load}
PORT=${ORDEX_NGINX_PORT:-18080}
BENCH=$BUILD/bench_transfer

case $PORT in
  ''|*[!0-9]*) echo "ORDEX_NGINX_PORT must be a port number" >&2; exit 2 ;;
esac
if [ ! -x "$BENCH" ]; then
  echo "no $BENCH; build it first: cmake --build $BUILD --target bench_transfer" >&2
  exit 2
fi

find_nginx() {
  command -v nginx 2>/dev/null || { [ -x /usr/sbin/nginx ] && echo /usr/sbin/nginx; } || true
}
NGINX=$(find_nginx)
if [ -z "$NGINX" ]; then
  echo "nginx is missing; installing it" >&2
  apt-get install -y nginx-light || apt-get install -y nginx
  NGINX=$(find_nginx)
  [ -n "$NGINX" ] || { echo "nginx could not be installed" >&2; exit 1; }
fi

WORK=$(mktemp -d /tmp/ordex-nginx-XXXXXX)
NGINX_PID=
cleanup() {
  if [ -n "$NGINX_PID" ] && kill -0 "$NGINX_PID" 2>/dev/null; then
    kill -QUIT "$NGINX_PID" 2>/dev/null || true
    # Graceful stop; give up waiting after about five seconds.
    i=0
    while kill -0 "$NGINX_PID" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    kill -KILL "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$WORK/www" "$WORK/tmp" "$WORK/logs"
# nginx workers started by root run as an unprivileged user: let them read the files.
chmod 755 "$WORK" "$WORK/www"

cat > "$WORK/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $WORK/nginx.pid;
error_log $WORK/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 120s;
  keepalive_requests 1000000;
  client_body_temp_path $WORK/tmp/client_body;
  proxy_temp_path $WORK/tmp/proxy;
  fastcgi_temp_path $WORK/tmp/fastcgi;
  uwsgi_temp_path $WORK/tmp/uwsgi;
  scgi_temp_path $WORK/tmp/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$PORT;
    root $WORK/www;
    location / { }
  }
}
EOF

"$NGINX" -t -p "$WORK/" -c "$WORK/nginx.conf" -e "$WORK/logs/error.log" >/dev/null 2>&1 || {
  "$NGINX" -t -p "$WORK/" -c "$WORK/nginx.conf" -e "$WORK/logs/error.log" >&2 || true
  echo "the private nginx config is refused" >&2
  exit 1
}
"$NGINX" -p "$WORK/" -c "$WORK/nginx.conf" -e "$WORK/logs/error.log" &
NGINX_PID=$!

# Wait until nginx has written its pid file (it listens by then).
i=0
while [ ! -s "$WORK/nginx.pid" ]; do
  if ! kill -0 "$NGINX_PID" 2>/dev/null || [ $i -ge 100 ]; then
    echo "nginx did not start:" >&2
    cat "$WORK/logs/error.log" >&2 || true
    exit 1
  fi
  sleep 0.1
  i=$((i + 1))
done
echo "nginx $("$NGINX" -v 2>&1 | sed 's/.*\///') on 127.0.0.1:$PORT, root $WORK/www"

ORDEX_NGINX_URL=http://127.0.0.1:$PORT/ordex-transfer.bin "$BENCH" --disk-dir "$WORK/www" "$@"
