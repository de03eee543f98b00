// The local connection module.
#include "config/dmMHConn.h"

namespace ordex {

namespace {

// Both local connections are SQLite files; the database path is added by
// whoever opens them.
void SetLocalSQLite(db::TConnection& Conn) {
  Conn.SetDriverName("SQLite");
  Conn.Params() = {"DriverID=SQLite", "LockingMode=Normal", "OpenMode=CreateUTF16", "StringFormat=Unicode"};
}

}  // namespace

TdmMHConns::TdmMHConns() {
  SetLocalSQLite(cnConn);
  SetLocalSQLite(cnMyHost);
}

void TdmMHConns::Conn() {
  if (!cnConn.Connected()) cnConn.Open();
}

}  // namespace ordex
