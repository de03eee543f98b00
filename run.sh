#!/usr/bin/env bash
# Builds the server (build/, RelWithDebInfo, as test.sh does), creates the default document store
# build/ordex.db on first use, and starts the headless server build/ordexd.
#
# The first run prints the administrator password that ordex-initdb made (login
# "admin"); set ORDEX_ADMIN_PASSWORD to choose it instead. An existing
# build/ordex.db is kept as it is. Arguments are passed on to ordexd.
# Environment: ORDEX_JOBS (parallel build jobs, default 2).
set -euo pipefail
cd "$(dirname "$0")"
JOBS=${ORDEX_JOBS:-2}

scripts/ensure-packages.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=(ordex-initdb)
for optional in ordexd ordex; do
  if ninja -C build -t targets all | grep -q "^$optional:"; then
    targets+=("$optional")
  fi
done
cmake --build build -j "$JOBS" --target "${targets[@]}"

# The server looks for ordex.db next to its program (then in <root>/Data).
STORE=build/ordex.db
if [ -e "$STORE" ]; then
  echo "run.sh: using the existing store $STORE"
else
  echo "run.sh: creating the default store $STORE"
  if [ -n "${ORDEX_ADMIN_PASSWORD:-}" ]; then
    build/ordex-initdb --kind SQLite --database "$STORE" --admin admin --password "$ORDEX_ADMIN_PASSWORD"
    echo "run.sh: administrator login admin, password from ORDEX_ADMIN_PASSWORD"
  else
    build/ordex-initdb --kind SQLite --database "$STORE" --admin admin
  fi
fi

if [ ! -x build/ordexd ]; then
  echo "run.sh: the server (ordexd) is not built yet; nothing to start" >&2
  exit 1
fi
cat <<EOF
run.sh: starting build/ordexd on the default store (Ctrl-C stops it).
  TCP:  port 4321 unless build/ordexd.ini sets another (OrdexPort); HTTP only when OrdexHTTP is set
  Try:  build/ordex --user admin tree     (asks for the password, or reads ORDEX_PASSWORD)
        build/ordex --help                (every command; see docs/client-guide.md)
EOF
exec build/ordexd "$@"
