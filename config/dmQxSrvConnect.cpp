// The database connection module.
#include "config/dmQxSrvConnect.h"

#include <array>

#include "common/qxBase.h"
#include "common/qxError.h"

namespace ordex {

namespace {

// The user lookup of the login check, line by line.
constexpr std::array<const char*, 8> UserLookupLines = {
    "SELECT u.user_id, u.password, u.name, u.firstname, u.middlename, u.lastname, u.active,  ",
    "  u.roleid, r.rolename",
    "FROM qxusers u",
    "",
    "    LEFT JOIN qxroles r",
    "    ON u.roleid=r.roleid",
    "",
    "WHERE login=:login",
};

std::string UserLookupSQL() {
  std::string Text;
  for (std::size_t I = 0; I < UserLookupLines.size(); ++I) {
    if (I > 0) Text += "\r\n";
    Text += UserLookupLines[I];
  }
  return Text;
}

// The driver object that each kind needs, in the order the kinds are tested.
// "IBLite" is recognised and needs none; kinds not listed (MySQL, SQLite) need
// nothing beyond the SQLite driver every module holds.
struct TKindDriver {
  const char* Kind;
  const char* Driver;  // nullptr: none
};
constexpr TKindDriver KindDrivers[] = {
    {"Mongo", "MongoDriver"}, {"PG", "PGDriver"},       {"FB", "FBDriver"},       {"IB", "IBDriver"},
    {"IBLite", nullptr},      {"MSSQL", "MSSQLDriver"}, {"Ora", "OraDriver"},     {"MSAcc", "MSAccDriver"},
    {"DB2", "DB2Driver"},     {"ODBC", "ODBCDriver"},   {"Infx", "InfxDriver"},   {"DS", "DSDriver"},
    {"ADS", "ADSDriver"},     {"ASA", "ASADriver"},     {"TData", "TDataDriver"}, {"TDBX", "TDBXDriver"},
};

constexpr const char* SQLiteDriverName = "SQLiteDriver";

}  // namespace

TdmQxSrvConnects::TdmQxSrvConnects() : iqUser(cnQxConn, "iqUser") {
  cnQxConn.OnBeforeConnect = [this] { CreateDriver(); };
  iqUser.SetSQL(UserLookupSQL());
  iqUser.ParamByName("login").DataType = db::TFieldType::Text;
}

TdmQxSrvConnects::~TdmQxSrvConnects() {
  iqUser.Close();
  cnQxConn.Close();
}

// A driver object only records that the module made the kind available; the
// access layer itself decides at opening whether it can serve the kind.
void TdmQxSrvConnects::CreateDriver() {
  FDrivers.try_emplace(SQLiteDriverName, "SQLite");
  const std::string& Kind = cnQxConn.DriverName();
  for (const TKindDriver& Row : KindDrivers) {
    if (Kind != Row.Kind) continue;
    if (Row.Driver) FDrivers.try_emplace(Row.Driver, Row.Kind);
    break;
  }
}

std::vector<std::string> TdmQxSrvConnects::DriverNames() const {
  std::vector<std::string> Names;
  Names.reserve(FDrivers.size());
  for (const auto& Entry : FDrivers) Names.push_back(Entry.first);
  return Names;
}

void TdmQxSrvConnects::SetParamConn(const std::string& ParamName, const std::string& StrVal) {
  const std::string Value = Trim(StrVal);
  if (!Value.empty()) cnQxConn.Params().push_back(ParamName + "=" + Value);
}

void TdmQxSrvConnects::SetConnParams(const TConnInfo& Info) {
  SetParamConn("DriverID", Info.TypeDB);
  SetParamConn("Server", Info.Server);
  SetParamConn("Port", Info.Port);
  SetParamConn("Database", Info.Dbname);
  SetParamConn("User_Name", Info.Username);
  SetParamConn("Password", Info.Password);
}

void TdmQxSrvConnects::ConnectDB() {
  const TConnInfo Info = qxroot().GetConnectionByName(MainDBSrv);
  if (!qxroot().IsRun()) return;
  iqUser.Close();
  cnQxConn.Close();
  cnQxConn.SetDriverName(Trim(Info.TypeDB));
  cnQxConn.Params().clear();
  cnQxConn.Params().push_back("CharacterSet=utf8mb4");
  SetConnParams(Info);
  try {
    cnQxConn.Open();
  } catch (const std::exception& E) {
    throw EDatabaseError(std::string(ErrorClassName(E)) + " ошибка с сообщением: \r" + E.what());
  }
}

// A login is accepted only when a user row exists and its stored digest is not
// blank: without these two conditions an empty digest would match the empty
// password of a missing row (or of a row without a password) and let anybody in.
bool TdmQxSrvConnects::Auth(const std::string& LoginInp, const std::string& PasswdMd5Inp,
                            TQxSessionInfo& SessInfo) {
  iqUser.Close();
  iqUser.ParamByName("login").SetText(Trim(LoginInp));
  iqUser.Open();
  if (iqUser.IsEmpty()) return false;
  iqUser.First();
  const std::string Stored = UpperCaseAscii(Trim(iqUser.FieldByName("password").AsString()));
  if (Stored.empty() || Stored != UpperCaseAscii(Trim(PasswdMd5Inp))) return false;
  SessInfo.Login = LoginInp;
  SessInfo.RoleID = iqUser.FieldByName("roleid").AsString();
  SessInfo.RoleName = iqUser.FieldByName("rolename").AsString();
  SessInfo.UserID = iqUser.FieldByName("user_id").AsString();
  SessInfo.SessionStart = HasQxroot() ? qxroot().GetNow() : NowLocal();
  return true;
}

}  // namespace ordex
