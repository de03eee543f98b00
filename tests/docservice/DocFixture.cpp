#include "tests/docservice/DocFixture.h"

#include <utility>

#include "common/qxBase.h"
#include "docservice/uOrdexInfo.h"

namespace ordex::test {

namespace {

db::TParam& AddText(db::TParams& P, std::string Name, std::string Value) {
  auto& Param = P.Add(std::move(Name), db::TFieldType::Text);
  Param.SetText(std::move(Value));
  return Param;
}

void AddOptText(db::TParams& P, std::string Name, const std::optional<std::string>& Value) {
  auto& Param = P.Add(std::move(Name), db::TFieldType::Text);
  Param.Value = Value ? db::TValue::Text(*Value) : db::TValue::Null(db::TFieldType::Text);
}

void AddInt(db::TParams& P, std::string Name, std::optional<int> Value) {
  auto& Param = P.Add(std::move(Name), db::TFieldType::Int32);
  Param.Value = Value ? db::TValue::Int32(*Value) : db::TValue::Null(db::TFieldType::Int32);
}

}  // namespace

void DocFixture::SetUp() { OpenService(); }

void DocFixture::OpenService(const std::string& DatabaseName) {
  FRoot = std::make_unique<Tqxroot>();
  SetQxroot(FRoot.get());
  FDb = std::make_unique<TTestDatabase>(GetParam(), /*WithSchema=*/true, DatabaseName);
  TConnInfo Info = FDb->Info();
  Info.NameConnection = MainDBSrv;
  Info.IdentConnection = MainDBSrv;
  FRoot->ClearConnections();
  FRoot->AddConnections(Info);
  FRoot->SetIsRun(true);
  FSrv = std::make_unique<TOrdexServerClass>();
}

void DocFixture::TearDown() {
  FSrv.reset();
  FDb.reset();
  SetQxroot(nullptr);
  FRoot.reset();
}

std::int64_t DocFixture::Exec(std::string_view Sql, const db::TParams* Args) {
  return Conn().ExecSQL(Sql, Args);
}

std::string DocFixture::Scalar(const std::string& Sql) {
  db::TQuery Q(Conn(), "iqTestScalar");
  Q.SetSQL(Sql);
  Q.Open();
  return Q.IsEmpty() ? std::string() : Q.Fields(0).AsString();
}

void DocFixture::SeedUser(const std::string& Login, const std::string& Password, const std::string& RoleID,
                          const std::string& RoleName) {
  db::TQuery Q(Conn(), "iqTestRole");
  Q.SetSQL("SELECT roleid FROM qxroles WHERE roleid=:roleid");
  Q.ParamByName("roleid").SetText(RoleID);
  Q.Open();
  if (Q.IsEmpty()) {
    db::TParams R;
    AddText(R, "roleid", RoleID);
    AddText(R, "rolename", RoleName);
    Exec("INSERT INTO qxroles (roleid, rolename, active, pubrole, order_roles) "
         "VALUES (:roleid, :rolename, 1, 0, 0)",
         &R);
  }
  db::TParams U;
  AddText(U, "user_id", NewID());
  AddText(U, "login", Login);
  AddText(U, "password", MD5Hex(Password));
  AddText(U, "roleid", RoleID);
  Exec("INSERT INTO qxusers (user_id, login, `password`, roleid, active) "
       "VALUES (:user_id, :login, :password, :roleid, 1)",
       &U);
}

bool DocFixture::LoginAs(const std::string& Login, const std::string& Password) {
  TQxSessionInfo Info;
  Info.Login = Login;
  Info.PasswdMd5 = MD5Hex(Password);
  std::string ConnectInfo = GetQxSessionInfo(Info);
  return FSrv->Hello(ConnectInfo);
}

void DocFixture::SetSess(const std::string& Login, const std::string& RoleID) {
  FSrv->Sess = TQxSessionInfo{};
  FSrv->Sess.Login = Login;
  FSrv->Sess.RoleID = RoleID;
}

void DocFixture::AddFolder(const std::string& ID, const std::string& Parent, const std::string& Name,
                           std::optional<int> Del) {
  db::TParams P;
  AddText(P, "treeid", ID);
  AddText(P, "treename", Name);
  AddText(P, "parent_treeid", Parent);
  AddInt(P, "del", Del);
  Exec("INSERT INTO oxTree (treeid, treename, parent_treeid, ccount, kolrights, del) "
       "VALUES (:treeid, :treename, :parent_treeid, 0, 0, :del)",
       &P);
}

void DocFixture::AddRight(const std::string& TreeID, std::optional<std::string> UserName,
                          std::optional<std::string> RoleID, const TRightFlags& Flags) {
  db::TParams P;
  AddText(P, "treeid", TreeID);
  AddOptText(P, "username", UserName);
  AddOptText(P, "roleid", RoleID);
  AddInt(P, "rtree", Flags.rtree);
  AddInt(P, "wtree", Flags.wtree);
  AddInt(P, "admtree", Flags.admtree);
  AddInt(P, "rfile", Flags.rfile);
  AddInt(P, "wfile", Flags.wfile);
  AddInt(P, "rmyfile", Flags.rmyfile);
  Exec("INSERT INTO oxTreeRight (treeid, username, roleid, rtree, wtree, admtree, rfile, wfile, rmyfile) "
       "VALUES (:treeid, :username, :roleid, :rtree, :wtree, :admtree, :rfile, :wfile, :rmyfile)",
       &P);
  db::TParams K;
  AddText(K, "treeid", TreeID);
  Exec("UPDATE oxTree SET kolrights=(SELECT count(*) FROM oxTreeRight r WHERE r.treeid=:treeid) "
       "WHERE treeid=:treeid",
       &K);
}

void DocFixture::AddFile(const std::string& FileID, const std::string& TreeID, const std::string& FileName,
                         const std::string& Ext, const std::string& UserCreate, std::optional<int> Del,
                         double SizeKB) {
  db::TParams P;
  AddText(P, "fileid", FileID);
  AddText(P, "treeid", TreeID);
  AddText(P, "filename", FileName);
  AddText(P, "fileext", Ext);
  AddText(P, "usercreate", UserCreate);
  AddInt(P, "del", Del);
  P.Add("size_file", db::TFieldType::Float).Value = db::TValue::Float(SizeKB);
  Exec("INSERT INTO oxFiles (fileid, treeid, filename, fileext, usercreate, del, size_file) "
       "VALUES (:fileid, :treeid, :filename, :fileext, :usercreate, :del, :size_file)",
       &P);
}

db::TDataStream DocFixture::ReadStream(const std::string& Bytes) { return db::ReadDataStream(Bytes); }

const db::TStreamTable& DocFixture::Table(const db::TDataStream& Stream, const std::string& Name) {
  for (const auto& T : Stream.Tables)
    if (T.Name == Name) return T;
  ADD_FAILURE() << "stream has no table " << Name;
  static const db::TStreamTable Empty;
  return Empty;
}

int DocFixture::ColumnIndex(const db::TStreamTable& Table, const std::string& Column) {
  for (std::size_t I = 0; I < Table.Columns.size(); ++I)
    if (db::SameName(Table.Columns[I].Name, Column)) return static_cast<int>(I);
  return -1;
}

std::vector<std::string> DocFixture::Column(const db::TStreamTable& Table, const std::string& Column) {
  const int I = ColumnIndex(Table, Column);
  std::vector<std::string> Out;
  if (I < 0) {
    ADD_FAILURE() << "table " << Table.Name << " has no column " << Column;
    return Out;
  }
  for (const auto& Row : Table.Rows) Out.push_back(Row[static_cast<std::size_t>(I)].AsString());
  return Out;
}

std::string KindName(const ::testing::TestParamInfo<std::string>& Info) { return Info.param; }

}  // namespace ordex::test
