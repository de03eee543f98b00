// The local connection module: the connections database (cnConn) and the local
// SQLite database of the root object (cnMyHost). One per process.
#pragma once

#include "platform/db/Db.h"

namespace ordex {

class TdmMHConns {
 public:
  TdmMHConns();
  db::TConnection cnConn;
  db::TConnection cnMyHost;
  // Opens cnConn when it is closed.
  void Conn();
};

}  // namespace ordex
