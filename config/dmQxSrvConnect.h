// The database connection module: one connection to the document database made
// from the root object's main connection, the drivers it needs made available
// on demand, and the login check.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "config/qxroot.h"
#include "platform/db/Db.h"

namespace ordex {

class TdmQxSrvConnects {
 public:
  TdmQxSrvConnects();
  ~TdmQxSrvConnects();

  db::TConnection cnQxConn;
  db::TQuery iqUser;

  // Makes the SQLite driver and the driver of the connection's kind available,
  // each once per module.
  void CreateDriver();
  // The names of the driver objects this module holds (for tests and diagnostics).
  std::vector<std::string> DriverNames() const;
  // Appends "Name=Value" (value trimmed) unless the value is blank.
  void SetParamConn(const std::string& ParamName, const std::string& StrVal);
  // Appends the server parameters of Info with SetParamConn: DriverID (the
  // kind), Server, Port, Database, User_Name and Password.
  void SetConnParams(const TConnInfo& Info);
  // Connects to the root object's main connection; nothing while IsRun is false.
  // A failed opening throws "<class> ошибка с сообщением: \r<message>".
  void ConnectDB();
  // The login check; fills SessInfo on success.
  bool Auth(const std::string& LoginInp, const std::string& PasswdMd5Inp, TQxSessionInfo& SessInfo);

 private:
  std::map<std::string, std::string> FDrivers;  // fixed driver name -> kind it serves
};

}  // namespace ordex
