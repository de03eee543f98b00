// The schema-version check that runs on every database the server opens for
// itself. The updater supplies the real check (it compares the recorded version
// with the program's and upgrades with the operator's consent); until then the
// default check accepts every database.
#pragma once

#include <string>

#include "platform/db/Db.h"

namespace ordex {

class ISchemaCheck {
 public:
  virtual ~ISchemaCheck() = default;
  // Checks (and may upgrade) the open database Conn known as DbIdentity
  // ("MainDBSrv", "ConnSrv"); throws when the check or the upgrade fails.
  virtual void CheckSchema(db::TConnection& Conn, const std::string& DbIdentity) = 0;
};

// Accepts every database as it is.
class TNoSchemaCheck final : public ISchemaCheck {
 public:
  void CheckSchema(db::TConnection&, const std::string&) override {}
};

}  // namespace ordex
