#!/usr/bin/env bash
# A private MariaDB server for the tests. It runs from its own data folder with
# its own socket and port and reads no system configuration, so the system's
# database service (if any) is never touched.
#
#   scripts/mariadb-test-server.sh          start (or reuse) the server and print
#                                           export ORDEX_TEST_MYSQL=127.0.0.1:PORT:ordex:ordex
#   scripts/mariadb-test-server.sh stop     stop it
#   scripts/mariadb-test-server.sh status   exit 0 when it answers on the port
#
# Environment: ORDEX_MARIADB_DIR (default /tmp/ordex-mariadb), ORDEX_MARIADB_PORT
# (default 3307). Progress goes to standard error; only the export line goes to
# standard output, so  eval "$(scripts/mariadb-test-server.sh)"  works.
set -euo pipefail

DIR=${ORDEX_MARIADB_DIR:-/tmp/ordex-mariadb}
PORT=${ORDEX_MARIADB_PORT:-3307}
DATADIR=$DIR/data
SOCKET=$DIR/mariadbd.sock
PIDFILE=$DIR/mariadbd.pid
LOG=$DIR/mariadbd.log
MARKER=$DIR/.ordex-test-mariadb
TEST_USER=ordex
TEST_PASSWORD=ordex
WAIT_SECONDS=60

say() { echo "mariadb-test-server: $*" >&2; }
die() { say "$*"; exit 1; }

for tool in mariadbd mariadb-install-db mariadb mariadb-admin; do
  command -v "$tool" >/dev/null 2>&1 || [ -x "/usr/sbin/$tool" ] || die "$tool not found (install mariadb-server)"
done
MARIADBD=$(command -v mariadbd || echo /usr/sbin/mariadbd)

as_root() { mariadb --no-defaults --protocol=socket --socket="$SOCKET" -uroot "$@"; }
answers_tcp() {
  mariadb-admin --no-defaults --protocol=tcp -h127.0.0.1 -P"$PORT" -u"$TEST_USER" -p"$TEST_PASSWORD" \
    --connect-timeout=2 ping >/dev/null 2>&1
}
server_pid() {
  [ -f "$PIDFILE" ] || return 1
  local pid
  pid=$(cat "$PIDFILE" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}
print_export() { echo "export ORDEX_TEST_MYSQL=127.0.0.1:$PORT:$TEST_USER:$TEST_PASSWORD"; }

stop_server() {
  local pid
  if ! pid=$(server_pid); then
    say "not running"
    return 0
  fi
  say "stopping (pid $pid)"
  kill "$pid"
  for _ in $(seq 1 "$WAIT_SECONDS"); do
    kill -0 "$pid" 2>/dev/null || { say "stopped"; return 0; }
    sleep 1
  done
  die "pid $pid did not stop within ${WAIT_SECONDS}s"
}

case "${1:-start}" in
  stop) stop_server; exit 0 ;;
  status) answers_tcp; exit ;;
  start) ;;
  *) die "usage: $0 [start|stop|status]" ;;
esac

# Reuse a server that already answers on the port with the test account.
if answers_tcp; then
  say "already running on port $PORT"
  print_export
  exit 0
fi
if pid=$(server_pid); then
  die "a server (pid $pid) runs from $DIR but does not answer on port $PORT; run '$0 stop' first"
fi

# Fresh data folder. Only a folder made by this script is ever removed.
if [ -e "$DIR" ]; then
  if [ -f "$MARKER" ]; then
    rm -rf -- "$DIR"
  elif [ -n "$(ls -A -- "$DIR")" ]; then
    die "$DIR exists and was not made by this script; set ORDEX_MARIADB_DIR to another folder"
  fi
fi
mkdir -p "$DATADIR"
touch "$MARKER"

say "creating the data folder $DATADIR"
mariadb-install-db --no-defaults --user=root --datadir="$DATADIR" \
  --auth-root-authentication-method=normal --skip-test-db >"$DIR/install.log" 2>&1 \
  || { tail -n 20 "$DIR/install.log" >&2; die "mariadb-install-db failed (log: $DIR/install.log)"; }

say "starting on 127.0.0.1:$PORT"
setsid "$MARIADBD" --no-defaults --user=root --datadir="$DATADIR" --socket="$SOCKET" \
  --pid-file="$PIDFILE" --port="$PORT" --bind-address=127.0.0.1 --skip-name-resolve \
  --log-error="$LOG" --character-set-server=utf8mb4 --collation-server=utf8mb4_general_ci \
  --innodb-buffer-pool-size=64M --innodb-flush-log-at-trx-commit=2 \
  </dev/null >>"$LOG" 2>&1 &

ready=0
for _ in $(seq 1 "$WAIT_SECONDS"); do
  if mariadb-admin --no-defaults --protocol=socket --socket="$SOCKET" -uroot --connect-timeout=2 ping >/dev/null 2>&1; then
    ready=1
    break
  fi
  sleep 1
done
[ "$ready" = 1 ] || { tail -n 20 "$LOG" >&2; die "the server did not answer within ${WAIT_SECONDS}s (log: $LOG)"; }

as_root <<SQL || die "could not create the test account"
CREATE USER IF NOT EXISTS '$TEST_USER'@'%' IDENTIFIED BY '$TEST_PASSWORD';
CREATE USER IF NOT EXISTS '$TEST_USER'@'localhost' IDENTIFIED BY '$TEST_PASSWORD';
GRANT ALL PRIVILEGES ON *.* TO '$TEST_USER'@'%' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO '$TEST_USER'@'localhost' WITH GRANT OPTION;
FLUSH PRIVILEGES;
SQL

answers_tcp || die "the server runs but does not accept the test account on port $PORT"
say "ready"
print_export
