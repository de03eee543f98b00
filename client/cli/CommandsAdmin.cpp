// Administration commands: rights (show, set, del), users (list, add, passwd),
// roles (list, add).
#include <iostream>

#include "client/cli/Commands.h"
#include "common/qxBase.h"
#include "platform/db/DataStream.h"

namespace ordex::cli {

using nlohmann::json;

namespace {

constexpr const char* kCatchAllRole = "1000000";
constexpr const char* kFlags[] = {"rtree", "wtree", "admtree", "rfile", "wfile", "rmyfile"};

std::string Text(const client::TRemoteDataset& D, const char* Field) {
  return D.FindField(Field) >= 0 ? Trim(D.AsString(Field)) : std::string();
}

// rights --------------------------------------------------------------------

client::TRemoteDataset RightsRows(client::TOrdexSession& S, const std::string& Folder) {
  return S.Dataset("GetTreeRight", json{{"TreeID", Folder}}, "iqTreeright");
}

// Who a rights row applies to, for people.
std::string Who(const client::TRemoteDataset& D) {
  const std::string User = Text(D, "username");
  if (!User.empty()) return "user " + User;
  const std::string Role = Text(D, "roleid");
  if (Role == kCatchAllRole) return "everyone (role " + Role + ")";
  const std::string Name = Text(D, "rolename");
  return "role " + Role + (Name.empty() ? "" : " (" + Name + ")");
}

int RunRights(TContext& C, const TArgs& A) {
  const std::string Folder = A.Positional[0];
  CheckId(Folder, "the folder id");
  auto& S = C.Session();
  RequireFolder(S, Folder);
  const TRights Mine = GetRights(S, Folder);
  client::TRemoteDataset D = RightsRows(S, Folder);
  json Rows = json::array();
  std::vector<std::vector<std::string>> Table;
  for (D.First(); !D.Eof(); D.Next()) {
    json R{{"username", Text(D, "username")}, {"roleid", Text(D, "roleid")}, {"rolename", Text(D, "rolename")}};
    std::vector<std::string> Line{Who(D)};
    for (const char* F : kFlags) {
      const bool On = D.AsInt64(F) == 1;
      R[F] = On;
      Line.push_back(On ? "1" : "0");
    }
    Rows.push_back(std::move(R));
    Table.push_back(std::move(Line));
  }
  if (C.Json()) {
    C.Out().Json(json{{"folder", Folder}, {"effective", Mine.Json}, {"rows", Rows}});
    return ExitOk;
  }
  std::string Effective;
  for (const char* F : kFlags)
    if (Mine.Json.value(F, false)) Effective += std::string(Effective.empty() ? "" : " ") + F;
  C.Out().Out() << "Your rights on " << Folder << ": " << (Effective.empty() ? "none" : Effective) << "\n";
  if (Table.empty()) {
    C.Out().Out() << "The folder has no rights rows of its own; it inherits those of its parent.\n";
  } else {
    C.Out().Out() << "\n";
    C.Out().Table({"WHO", "RTREE", "WTREE", "ADMTREE", "RFILE", "WFILE", "RMYFILE"}, Table);
  }
  return ExitOk;
}

// Moves D to the rights row of the user or role that A names; false when none.
bool FindRightsRow(client::TRemoteDataset& D, const std::string& User, const std::string& Role) {
  for (D.First(); !D.Eof(); D.Next()) {
    const std::string RowUser = Text(D, "username");
    if (!User.empty() ? RowUser == User : (RowUser.empty() && Text(D, "roleid") == Role)) return true;
  }
  return false;
}

// The folder's counter of rights rows is what the rights computation trusts:
// it is set to the number of rows the folder has now.
void UpdateRightsCount(client::TOrdexSession& S, const std::string& Folder) {
  const std::size_t Count = RightsRows(S, Folder).RowCount();
  db::TStreamTable T;
  T.Name = "iqTreeEdit";
  db::TStreamColumn Id{"treeid", db::TFieldType::Text, db::cfKey, 100, "oxTree", "treeid"};
  db::TStreamColumn Kol{"kolrights", db::TFieldType::Int32, db::cfNullable, 0, "oxTree", "kolrights"};
  T.Columns = {Id, Kol};
  // The old counter is not needed: the row is found by its key, and a NULL old
  // value makes sure the new count is written whatever the counter held.
  T.Rows = {{db::TValue::Text(Folder), db::TValue::Null(db::TFieldType::Int32)}};
  client::TRemoteDataset D(std::move(T));
  D.First();
  D.SetInt64("kolrights", static_cast<std::int64_t>(Count));
  S.Post("StreamTreeEdit", {&D});
}

void CheckTarget(const TArgs& A, std::string& User, std::string& Role) {
  User = A.Get("user");
  Role = A.Get("role");
  if (A.Has("user") == A.Has("role")) throw TUsageError("name exactly one of --user LOGIN and --role ROLEID");
  if (A.Has("user") && Trim(User).empty()) throw TUsageError("--user must not be empty");
  if (A.Has("role") && Trim(Role).empty()) throw TUsageError("--role must not be empty");
  User = Trim(User);
  Role = Trim(Role);
}

// Moves U to the user whose trimmed login is Login; false when there is none.
bool LocateLogin(client::TRemoteDataset& U, const std::string& Login) {
  for (U.First(); !U.Eof(); U.Next())
    if (Text(U, "login") == Login) return true;
  return false;
}

bool UserExists(client::TOrdexSession& S, const std::string& Login) {
  client::TRemoteDataset U = S.Dataset("GetUsers", json::array(), "iqUsers");
  return LocateLogin(U, Login);
}

bool RoleExists(client::TOrdexSession& S, const std::string& RoleID) {
  client::TRemoteDataset R = S.Dataset("GetRoles", json::array(), "iqRoles");
  return R.Locate("roleid", db::TValue::Text(RoleID));
}

int RunRightsSet(TContext& C, const TArgs& A) {
  const std::string Folder = A.Positional[0];
  CheckId(Folder, "the folder id");
  std::string User, Role;
  CheckTarget(A, User, Role);
  for (const char* F : kFlags) A.Flag(F);  // checks the values before connecting
  auto& S = C.Session();
  RequireFolder(S, Folder);
  Require(GetRights(S, Folder).AdmTree, "to administer folder " + Folder + " (admtree)");
  if (!User.empty() && !UserExists(S, User)) throw TRefused("there is no user " + User);
  if (!Role.empty() && Role != kCatchAllRole && !RoleExists(S, Role)) throw TRefused("there is no role " + Role);

  client::TRemoteDataset D = RightsRows(S, Folder);
  const bool Found = FindRightsRow(D, User, Role);
  if (!Found) {
    D.Append();
    D.SetText("treeid", Folder);
    if (!User.empty()) D.SetText("username", User);
    else D.SetText("roleid", Role);
  }
  json Row{{"treeid", Folder}, {"username", User}, {"roleid", Role}};
  for (const char* F : kFlags) {
    // A new row sees the folder unless told otherwise; other flags start off.
    // An existing row keeps the flags that are not named.
    const bool Default = Found ? D.AsInt64(F) == 1 : std::string(F) == "rtree";
    const bool On = A.Flag(F, Default);
    D.SetInt64(F, On ? 1 : 0);
    Row[F] = On;
  }
  S.Post("StreamPostTreeright", {&D});
  UpdateRightsCount(S, Folder);
  if (C.Json()) {
    Row["created"] = !Found;
    C.Out().Json(Row);
  } else {
    std::string Flags;
    for (const char* F : kFlags)
      if (Row[F].get<bool>()) Flags += std::string(Flags.empty() ? "" : " ") + F;
    C.Out().Out() << (Found ? "Changed" : "Added") << " the rights of "
                  << (User.empty() ? "role " + Role : "user " + User) << " on " << Folder << ": "
                  << (Flags.empty() ? "none" : Flags) << "\n";
  }
  return ExitOk;
}

int RunRightsDel(TContext& C, const TArgs& A) {
  const std::string Folder = A.Positional[0];
  CheckId(Folder, "the folder id");
  std::string User, Role;
  CheckTarget(A, User, Role);
  auto& S = C.Session();
  RequireFolder(S, Folder);
  Require(GetRights(S, Folder).AdmTree, "to administer folder " + Folder + " (admtree)");
  client::TRemoteDataset D = RightsRows(S, Folder);
  if (!FindRightsRow(D, User, Role))
    throw TRefused("folder " + Folder + " has no rights row for " + (User.empty() ? "role " + Role : "user " + User));
  D.Delete();
  S.Post("StreamPostTreeright", {&D});
  UpdateRightsCount(S, Folder);
  if (C.Json()) C.Out().Json(json{{"treeid", Folder}, {"username", User}, {"roleid", Role}, {"deleted", true}});
  else C.Out().Out() << "Removed the rights row of " << (User.empty() ? "role " + Role : "user " + User) << " on " << Folder << "\n";
  return ExitOk;
}

// users ---------------------------------------------------------------------

int RunUsersList(TContext& C, const TArgs&) {
  auto& S = C.Session();
  client::TRemoteDataset U = S.Dataset("GetUsers", json::array(), "iqUsers");
  json Users = json::array();
  std::vector<std::vector<std::string>> Table;
  for (U.First(); !U.Eof(); U.Next()) {
    // Password digests and hashes are never shown.
    json J{{"login", Text(U, "login")}, {"user_id", Text(U, "user_id")}, {"roleid", Text(U, "roleid")},
           {"name", Text(U, "name")}, {"email", Text(U, "email")},
           {"active", U.FindField("active") >= 0 ? U.AsInt64("active") : 0}};
    Table.push_back({J["login"], J["roleid"], J["name"], std::to_string(J["active"].get<std::int64_t>()), J["user_id"]});
    Users.push_back(std::move(J));
  }
  if (C.Json()) C.Out().Json(json{{"users", Users}});
  else C.Out().Table({"LOGIN", "ROLE", "NAME", "ACTIVE", "USER_ID"}, Table);
  return ExitOk;
}

int RunUsersAdd(TContext& C, const TArgs& A) {
  const std::string Login = Trim(A.Positional[0]);
  if (Login.empty() || Login.size() > 100) throw TUsageError("the login must have 1 to 100 characters");
  const std::string Role = Trim(A.Get("role"));
  if (Role.empty()) throw TUsageError("\"users add\" needs --role ROLEID");
  auto& S = C.Session();
  Require(S.IsAdmin(), "to add users (administrators only)");
  if (!RoleExists(S, Role)) throw TRefused("there is no role " + Role);
  client::TRemoteDataset U = S.Dataset("GetUsers", json::array(), "iqUsers");
  if (LocateLogin(U, Login)) throw TRefused("a user " + Login + " exists already");
  const std::string Password = ReadNewPassword(Login, "ORDEX_NEW_PASSWORD");
  const std::string Id = client::NewClientID();
  U.Append();
  U.SetText("user_id", Id);
  U.SetText("login", Login);
  U.SetText("password", MD5Hex(Password));
  U.SetText("roleid", Role);
  if (A.Has("name")) U.SetText("name", A.Get("name"));
  U.SetInt64("active", 1);
  S.Post("StreamPostUsers", {&U});
  if (C.Json()) C.Out().Json(json{{"login", Login}, {"user_id", Id}, {"roleid", Role}});
  else C.Out().Out() << "Added user " << Login << " (role " << Role << ", id " << Id << ")\n";
  return ExitOk;
}

int RunUsersPasswd(TContext& C, const TArgs& A) {
  const std::string Login = Trim(A.Positional[0]);
  auto& S = C.Session();
  Require(S.IsAdmin() || Login == Trim(S.Login()), "to set the password of " + Login + " (administrators only)");
  client::TRemoteDataset U = S.Dataset("GetUsers", json::array(), "iqUsers");
  if (!LocateLogin(U, Login)) throw TRefused("there is no user " + Login);
  const std::string Password = ReadNewPassword(Login, "ORDEX_NEW_PASSWORD");
  U.SetText("password", MD5Hex(Password));
  S.Post("StreamPostUsers", {&U});
  if (C.Json()) C.Out().Json(json{{"login", Login}, {"password_changed", true}});
  else C.Out().Out() << "Changed the password of " << Login << "\n";
  return ExitOk;
}

// roles ---------------------------------------------------------------------

int RunRolesList(TContext& C, const TArgs&) {
  auto& S = C.Session();
  client::TRemoteDataset R = S.Dataset("GetRoles", json::array(), "iqRoles");
  json Roles = json::array();
  std::vector<std::vector<std::string>> Table;
  for (R.First(); !R.Eof(); R.Next()) {
    json J{{"roleid", Text(R, "roleid")}, {"rolename", Text(R, "rolename")}, {"comment", Text(R, "commentrole")},
           {"active", R.AsInt64("active")}, {"order", R.AsInt64("order_roles")}};
    Table.push_back({J["roleid"], J["rolename"], std::to_string(J["active"].get<std::int64_t>()), J["comment"]});
    Roles.push_back(std::move(J));
  }
  if (C.Json()) C.Out().Json(json{{"roles", Roles}});
  else C.Out().Table({"ROLEID", "NAME", "ACTIVE", "COMMENT"}, Table);
  return ExitOk;
}

int RunRolesAdd(TContext& C, const TArgs& A) {
  const std::string Name = Trim(A.Positional[0]);
  if (Name.empty()) throw TUsageError("the role name must not be empty");
  const std::string Id = A.Has("id") ? Trim(A.Get("id")) : client::NewClientID();
  CheckId(Id, "the role id");
  auto& S = C.Session();
  Require(S.IsAdmin(), "to add roles (administrators only)");
  client::TRemoteDataset R = S.Dataset("GetRoles", json::array(), "iqRoles");
  std::int64_t Order = 0;
  for (R.First(); !R.Eof(); R.Next()) {
    if (Text(R, "roleid") == Id) throw TRefused("a role with the id " + Id + " exists already");
    Order = std::max(Order, R.AsInt64("order_roles"));
  }
  R.Append();
  R.SetText("roleid", Id);
  R.SetText("rolename", Name);
  if (A.Has("comment")) R.SetText("commentrole", A.Get("comment"));
  R.SetInt64("active", 1);
  R.SetInt64("pubrole", 0);
  R.SetInt64("order_roles", Order + 1);
  S.Post("StreamPostRole", {&R});
  if (C.Json()) C.Out().Json(json{{"roleid", Id}, {"rolename", Name}});
  else C.Out().Out() << "Added role " << Name << " (id " << Id << ")\n";
  return ExitOk;
}

const std::vector<TOptionSpec> kRightFlags = {
    {"rtree", TOptionSpec::Value, "0|1  see the folder (a new row: 1)"},
    {"wtree", TOptionSpec::Flag, "change the folder (=0 to clear)"},
    {"admtree", TOptionSpec::Flag, "administer the folder and its rights"},
    {"rfile", TOptionSpec::Flag, "read its files"},
    {"wfile", TOptionSpec::Flag, "write its files"},
    {"rmyfile", TOptionSpec::Flag, "read only one's own files"},
};

}  // namespace

std::vector<TCommandSpec> AdminCommands() {
  std::vector<TCommandSpec> L;
  const TOptionSpec UserOpt{"user", TOptionSpec::Value, "LOGIN  the row of this user"};
  const TOptionSpec RoleOpt{"role", TOptionSpec::Value, "ROLEID  the row of this role (1000000: everyone)"};
  L.push_back({"rights", "FOLDER", "Shows your rights on FOLDER and its rights rows.", "", {}, 1, 1, RunRights});
  std::vector<TOptionSpec> SetOpts{UserOpt, RoleOpt};
  SetOpts.insert(SetOpts.end(), kRightFlags.begin(), kRightFlags.end());
  L.push_back({"rights set",
               "FOLDER (--user LOGIN | --role ROLEID) [--rtree 0|1] [--wtree] [--admtree] [--rfile] [--wfile] [--rmyfile]",
               "Adds or changes the rights row of a user or role on FOLDER.",
               "A new row gets rtree 1 and the flags named; a changed row keeps the flags not named\n"
               "(--wfile=0 clears one). A login row wins over a role row, which wins over the row of\n"
               "role 1000000 (everyone). A folder with rows of its own no longer inherits its parent's.",
               SetOpts, 1, 1, RunRightsSet});
  L.push_back({"rights del", "FOLDER (--user LOGIN | --role ROLEID)", "Removes the rights row of a user or role on FOLDER.",
               "", {UserOpt, RoleOpt}, 1, 1, RunRightsDel});
  L.push_back({"users list", "", "Lists the users, newest first.", "", {}, 0, 0, RunUsersList});
  L.push_back({"users add", "LOGIN --role ROLEID [--name NAME]", "Adds a user (administrators only).",
               "The new password is read from ORDEX_NEW_PASSWORD or asked for twice.",
               {{"role", TOptionSpec::Value, "ROLEID  the user's role"},
                {"name", TOptionSpec::Value, "NAME  the user's full name"}},
               1, 1, RunUsersAdd});
  L.push_back({"users passwd", "LOGIN", "Sets the password of LOGIN (yours, or anyone's as an administrator).",
               "The new password is read from ORDEX_NEW_PASSWORD or asked for twice; the server keeps\n"
               "its MD5 digest.",
               {}, 1, 1, RunUsersPasswd});
  L.push_back({"roles list", "", "Lists the roles.", "", {}, 0, 0, RunRolesList});
  L.push_back({"roles add", "NAME [--id ID] [--comment TEXT]", "Adds a role (administrators only).",
               "On MySQL the roles table must lie in a database named qxordex (see the operator guide).",
               {{"id", TOptionSpec::Value, "ID  the role id (default: a fresh one)"},
                {"comment", TOptionSpec::Value, "TEXT  a comment"}},
               1, 1, RunRolesAdd});
  return L;
}

}  // namespace ordex::cli
