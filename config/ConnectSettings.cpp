#include "config/ConnectSettings.h"

#include <cstdint>
#include <exception>

#include "common/qxBase.h"
#include "common/qxLog.h"
#include "config/dmMHConn.h"
#include "config/qxSettings.h"

namespace ordex {

namespace {

constexpr const char* kConnectDB = "ConnectDB";
constexpr const char* kConnectsSQL = "SELECT * \r\nFROM dbconnects";

// The text of a column of the list's current row; "" when the row lacks it.
std::string RowText(db::TQuery& Q, std::string_view Name) {
  const auto F = Q.FindField(Name);
  return F ? F->AsString() : std::string{};
}

// True when the current row's SelDB is 1; a value that is not a number is not a choice.
bool RowSelected(db::TQuery& Q) {
  const auto F = Q.FindField("SelDB");
  if (!F || F->IsNull()) return false;
  try {
    return F->AsLargeInt() == 1;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

TConnectSettings::TConnectSettings(ISchemaCheck* SchemaCheck, std::string SettingID)
    : FSchemaCheck(SchemaCheck), FSettingID(std::move(SettingID)) {}

TConnectSettings::~TConnectSettings() = default;

// A radio button that is already selected fires no click, whether pressed
// or set from code: only a change shows the panels (and, in database mode,
// opens the connections database) again.
void TConnectSettings::SelectSource(TConnectSource Source) {
  if (FSource == Source) return;
  FSource = Source;
  ShowConnectSource();
}

const TConnectPanels& TConnectSettings::ShowConnectSource() {
  if (FSource == TConnectSource::Default) {
    // The settings-file tab keeps its visibility: the storage folder stays reachable.
    FPanels.paIniSettings = false;
    FPanels.tsDBTab = false;
    return FPanels;
  }
  FPanels.paIniSettings = true;
  FPanels.tsIniTab = FSource == TConnectSource::Ini;
  FPanels.tsDBTab = FSource == TConnectSource::DB;
  if (FSource == TConnectSource::DB) OpenConnectsDB();
  return FPanels;
}

void TConnectSettings::OpenConnectsDB() {
  TdmMHConns& MH = qxroot().EnsureMHConns();
  const std::string Path = Trim(qxroot().FindSQLiteDB(ConnectsDBName));
  if (Path.empty()) {
    ShowErrorMsg("Не найдена база данных подключений!");
    return;
  }
  // The list reads from this connection: it goes with it.
  if (FiqConnects) FiqConnects->Close();
  db::TConnection& Cn = MH.cnConn;
  Cn.Close();
  Cn.SetDriverName("SQLite");
  Cn.Params() = {"DriverID=SQLite", "LockingMode=Normal", "OpenMode=CreateUTF16",
                 "StringFormat=Unicode", "Database=" + Path};
  try {
    Cn.Open();
  } catch (const std::exception& E) {
    ShowErrorMsg(E.what());
    return;
  }
  if (Cn.Connected() && FSchemaCheck) FSchemaCheck->CheckSchema(Cn, "ConnSrv");
}

void TConnectSettings::OpenDBList() {
  TdmMHConns& MH = qxroot().EnsureMHConns();
  if (FiqConnects && FiqConnects->Active() &&
      (FiqConnects->State() == db::TDataSetState::Edit || FiqConnects->State() == db::TDataSetState::Insert)) {
    FiqConnects->Post();
  }
  if (!FiqConnects) {
    FiqConnects = std::make_unique<db::TQuery>(MH.cnConn, "iqConnects");
    FiqConnects->SetSQL(kConnectsSQL);
    // New rows: the current connection, of the default kind.
    FiqConnects->OnNewRecord = [](db::TQuery& Q) {
      Q.FieldByName("SelDB").SetAsLargeInt(1);
      Q.FieldByName("TypeDB").SetAsString("MySQL");
    };
  }
  FiqConnects->Close();
  FiqConnects->SetConnection(MH.cnConn);
  // The list runs only on an opened connections database: a closed cnConn has
  // no parameters of its own, so opening it here could only fail or make a file.
  if (!MH.cnConn.Connected()) return;
  FiqConnects->Open();
}

bool TConnectSettings::ListHasRow() const noexcept {
  return FiqConnects && FiqConnects->Active() && !FiqConnects->IsEmpty();
}

void TConnectSettings::LoadConnectSettings() {
  const TSettingsTree Tree =
      TSettingsTree::FromJSON(ProgramSettingsFile().Read(SettingsSection, FSettingID));
  const TSettingsTree* C = Tree.Tree(kConnectDB);
  if (!C) return;

  TConnInfo Info;
  const auto Take = [C](const char* Key, std::string& Target) {
    if (C->HasValue(Key)) Target = C->Value(Key);
  };
  Take("TypeDB", Info.TypeDB);
  Take("Server", Info.Server);
  Take("Port", Info.Port);
  Take("Database", Info.Dbname);
  Take("Login", Info.Username);
  Take("Password", Info.Password);
  Take("DirFiles", Info.DirFiles);
  Take("OrdexHTTP", edHttp);
  Take("OrdexPort", edPortServer);
  Take("HttpsCert", edHttpsCert);
  Take("HttpsKey", edHttpsKey);

  if (C->HasValue("IsIni")) {
    const std::string IsIni = Trim(C->Value("IsIni"));
    SelectSource(IsIni == "2" ? TConnectSource::DB
                 : IsIni == "1" ? TConnectSource::Ini
                                : TConnectSource::Default);
  }
  if (FSource == TConnectSource::Default) {
    Info.TypeDB = "SQLite";
    Info.Server.clear();
    Info.Port.clear();
    Info.Username.clear();
    Info.Password.clear();
    Info.Dbname = qxroot().FindSQLiteDB(DefaultDBName);
  }
  Info.NameConnection = MainDBSrv;
  Info.IdentConnection = MainDBSrv;
  qxroot().ReplConnections(Info);
  ShowConnInfo();
}

void TConnectSettings::SaveConnectSettings() const {
  TSettingsTree Tree;
  TSettingsTree& C = Tree.AddTree(kConnectDB);
  C.SetValue("TypeDB", GetDBTypeName());
  C.SetValue("Server", edServer);
  C.SetValue("Port", edPort);
  C.SetValue("Database", edDatabase);
  C.SetValue("Login", edLogin);
  C.SetValue("Password", edPassword);
  C.SetValue("DirFiles", edDirFiles);
  C.SetValue("OrdexHTTP", edHttp);
  C.SetValue("OrdexPort", edPortServer);
  // Written only when set: without HTTPS the entry stays as older programs wrote it.
  if (!edHttpsCert.empty()) C.SetValue("HttpsCert", edHttpsCert);
  if (!edHttpsKey.empty()) C.SetValue("HttpsKey", edHttpsKey);
  C.SetValue("IsIni", FSource == TConnectSource::DB ? "2" : FSource == TConnectSource::Ini ? "1" : "0");
  ProgramSettingsFile().Write(SettingsSection, FSettingID, Tree.ToJSON());
}

void TConnectSettings::ShowConnInfo() {
  const TConnInfo Info = qxroot().GetConnectionByName(MainDBSrv);
  lbTypeDB = -1;
  const auto& Kinds = db::KnownKinds();
  const std::string Wanted = LowerCaseAscii(Info.TypeDB);
  for (std::size_t I = 0; I < Kinds.size(); ++I) {
    if (LowerCaseAscii(Kinds[I]) == Wanted) {
      lbTypeDB = static_cast<int>(I);
      break;
    }
  }
  edServer = Info.Server;
  edPort = Info.Port;
  edDatabase = Info.Dbname;
  edLogin = Info.Username;
  edPassword = Info.Password;
  edDirFiles = Info.DirFiles;
}

std::string TConnectSettings::GetDBTypeName() const {
  const auto& Kinds = db::KnownKinds();
  if (lbTypeDB < 0 || static_cast<std::size_t>(lbTypeDB) >= Kinds.size()) return "SQLite";
  return Trim(Kinds[static_cast<std::size_t>(lbTypeDB)]);
}

std::string TConnectSettings::GetDirFiles() const { return qxroot().GetDirFiles(); }

void TConnectSettings::ConnectSelected(bool IsShowMessage) {
  switch (FSource) {
    case TConnectSource::DB: ConnectFromDB(IsShowMessage); break;
    case TConnectSource::Ini: ConnectFromIni(IsShowMessage); break;
    case TConnectSource::Default: ConnectDefault(IsShowMessage); break;
  }
  RestoreToConnInfo();
}

void TConnectSettings::ConnectDefault(bool IsShowMessage) {
  TConnInfo Info;
  Info.TypeDB = "SQLite";
  Info.Port = Trim(edPortServer);  // ignored by the SQLite kind
  Info.Dbname = qxroot().FindSQLiteDB(DefaultDBName);
  Connect(Info, IsShowMessage);
}

void TConnectSettings::ConnectFromIni(bool IsShowMessage) {
  TConnInfo Info;
  Info.TypeDB = GetDBTypeName();
  Info.Server = edServer;
  Info.Port = edPort;
  Info.Dbname = edDatabase;
  Info.Username = edLogin;
  Info.Password = edPassword;
  Connect(Info, IsShowMessage);
}

void TConnectSettings::ConnectFromDB(bool IsShowMessage) {
  OpenDBList();
  db::TQuery* Q = FiqConnects.get();
  bool Found = false;
  if (Q && Q->Active() && !Q->IsEmpty()) {
    // A search that finds nothing leaves the list on the row it started from,
    // which RestoreToConnInfo then records.
    const std::int64_t Start = Q->RecNo();
    for (Q->First(); !Q->Eof(); Q->Next()) {
      if (RowSelected(*Q)) {
        Found = true;
        break;
      }
    }
    if (!Found) {
      Q->First();
      for (std::int64_t I = 0; I < Start; ++I) Q->Next();
    }
  }
  // Also when the connections database is missing: there is no list to choose from.
  if (!Found) {
    ShowErrorMsg("Не найдена текущая база данных!");
    return;
  }
  TConnInfo Info;
  Info.TypeDB = RowText(*Q, "TypeDB");
  Info.Server = RowText(*Q, "Server");
  Info.Port = RowText(*Q, "Port");
  Info.Dbname = RowText(*Q, "Dbname");
  Info.Username = RowText(*Q, "Username");
  Info.Password = RowText(*Q, "Password");
  Info.DirFiles = Trim(RowText(*Q, "DirFiles"));
  Connect(Info, IsShowMessage);
}

void TConnectSettings::Connect(const TConnInfo& ConnInp, bool IsShowMessage) {
  if (!dmQxSrvConnects) dmQxSrvConnects = std::make_unique<TdmQxSrvConnects>();
  TdmQxSrvConnects& M = *dmQxSrvConnects;
  db::TConnection& Cn = M.cnQxConn;
  Cn.Close();
  Cn.SetDriverName(ConnInp.TypeDB);
  Cn.Params().clear();
  M.SetParamConn("DriverID", ConnInp.TypeDB);
  M.SetParamConn("Server", ConnInp.Server);
  M.SetParamConn("Port", ConnInp.Port);
  M.SetParamConn("Database", ConnInp.Dbname);
  M.SetParamConn("User_Name", ConnInp.Username);
  M.SetParamConn("Password", ConnInp.Password);
  Cn.Params().push_back("CharacterSet=utf8mb4");
  M.SetParamConn("LockingMode", "Normal");
  M.SetParamConn("OpenMode", "CreateUTF16");
  try {
    // Without a database name there is nothing to open; the access layer
    // refuses it rather than creating a nameless store.
    Cn.Open();
  } catch (const std::exception& E) {
    Cn.Close();
    ShowErrorMsg(std::string("Ошибка подключения! ") + E.what());
  }
  if (Cn.Connected() && IsShowMessage) ShowInfoMsg("Подключение произошло успешно!");
  if (Cn.Connected() && FSchemaCheck) FSchemaCheck->CheckSchema(Cn, MainDBSrv);
}

void TConnectSettings::RestoreToConnInfo() {
  TConnInfo Info;
  if (FSource == TConnectSource::DB) {
    if (ListHasRow()) {
      db::TQuery& Q = *FiqConnects;
      Info.TypeDB = RowText(Q, "TypeDB");
      Info.Server = RowText(Q, "Server");
      Info.Port = RowText(Q, "Port");
      Info.Dbname = RowText(Q, "Dbname");
      Info.Username = RowText(Q, "Username");
      Info.Password = RowText(Q, "Password");
      Info.DirFiles = RowText(Q, "DirFiles");
    }
  } else {
    Info.TypeDB = GetDBTypeName();
    Info.Server = edServer;
    Info.Port = edPort;
    Info.Dbname = FSource == TConnectSource::Default ? qxroot().FindSQLiteDB(DefaultDBName) : edDatabase;
    Info.Username = edLogin;
    Info.Password = edPassword;
    Info.DirFiles = Trim(edDirFiles).empty() ? NormalizePath(AppDir() + "files\\") : edDirFiles;
  }
  Info.NameConnection = MainDBSrv;
  Info.IdentConnection = MainDBSrv;
  qxroot().ReplConnections(Info);
}

}  // namespace ordex
