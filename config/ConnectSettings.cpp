#include "config/ConnectSettings.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>
#include <exception>

#include <nlohmann/json.hpp>

#include "common/qxBase.h"
#include "common/qxLog.h"
#include "config/dmMHConn.h"
#include "config/qxSettings.h"

namespace ordex {

namespace {

using json = nlohmann::json;

constexpr const char* kConnectDB = "ConnectDB";
constexpr const char* kServerLimits = "ServerLimits";
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

// The connection the list's current row describes, its storage folder as stored.
TConnInfo RowConnInfo(db::TQuery& Q) {
  TConnInfo Info;
  Info.TypeDB = RowText(Q, "TypeDB");
  Info.Server = RowText(Q, "Server");
  Info.Port = RowText(Q, "Port");
  Info.Dbname = RowText(Q, "Dbname");
  Info.Username = RowText(Q, "Username");
  Info.Password = RowText(Q, "Password");
  Info.DirFiles = RowText(Q, "DirFiles");
  return Info;
}

// The connection the settings fields describe (no storage folder).
TConnInfo FieldsConnInfo(const TConnectSettings& S) {
  TConnInfo Info;
  Info.TypeDB = S.GetDBTypeName();
  Info.Server = S.edServer;
  Info.Port = S.edPort;
  Info.Dbname = S.edDatabase;
  Info.Username = S.edLogin;
  Info.Password = S.edPassword;
  return Info;
}

// One numeric key of "ServerLimits" with its accepted range.
struct TLimitKey {
  const char* Key;
  std::uint64_t Min;
  std::uint64_t Max;
  std::optional<std::uint64_t> TServerLimits::*Member;
};

// The ranges keep a mistyped value from disabling a protection (0 or a huge
// limit) or from making the server unusable (a frame smaller than a client's
// 1 MiB transfer chunk, a timeout shorter than a round trip).
constexpr TLimitKey kLimitKeys[] = {
    {"MaxHeaderBytes", 4096, 256ull << 20, &TServerLimits::MaxHeaderBytes},
    {"MaxFrameBytes", 2ull << 20, 4ull << 30, &TServerLimits::MaxFrameBytes},
    {"MaxConnections", 1, 100000, &TServerLimits::MaxConnections},
    {"HeaderTimeoutMs", 100, 600000, &TServerLimits::HeaderTimeoutMs},
    {"BodyTimeoutMs", 1000, 3600000, &TServerLimits::BodyTimeoutMs},
    {"HttpIdleMinutes", 1, 10080, &TServerLimits::HttpIdleMinutes},
    {"WorkerThreads", 2, 512, &TServerLimits::WorkerThreads},
};
constexpr const char* kListenAddress = "ListenAddress";

// The value as the operator wrote it, quoted and escaped for a message.
std::string Shown(const json& Value) { return Value.dump(-1, ' ', false, json::error_handler_t::replace); }

void ReportBadValue(const std::string& Key, const json& Value, const std::string& Wanted) {
  ShowErrorMsg("Недопустимое значение ServerLimits." + Key + ": " + Shown(Value) + " (" + Wanted +
               "). Используется значение по умолчанию.");
}

// Digits only (blanks around them allowed), without overflow.
std::optional<std::uint64_t> WholeNumber(const std::string& Text) {
  const std::string T = Trim(Text);
  std::uint64_t Value = 0;
  const auto [End, Err] = std::from_chars(T.data(), T.data() + T.size(), Value);
  if (T.empty() || Err != std::errc{} || End != T.data() + T.size()) return std::nullopt;
  return Value;
}

bool IsNumericAddress(const std::string& Text) {
  unsigned char Buffer[16];
  // The address is handed on as a C string: an embedded NUL would cut it short.
  if (Text.find('\0') != std::string::npos) return false;
  return ::inet_pton(AF_INET, Text.c_str(), Buffer) == 1 || ::inet_pton(AF_INET6, Text.c_str(), Buffer) == 1;
}

// A text member, or a plain whole JSON number; blank texts count as absent.
// Reports and returns nothing for anything else.
std::optional<std::uint64_t> LimitValue(const TLimitKey& K, const json& Value) {
  const std::string Wanted =
      "нужно целое число от " + std::to_string(K.Min) + " до " + std::to_string(K.Max);
  std::optional<std::uint64_t> N;
  if (Value.is_string()) {
    const std::string& Text = Value.get_ref<const std::string&>();
    if (Trim(Text).empty()) return std::nullopt;
    N = WholeNumber(Text);
  } else if (Value.is_number_unsigned()) {
    N = Value.get<std::uint64_t>();
  }
  if (!N || *N < K.Min || *N > K.Max) {
    ReportBadValue(K.Key, Value, Wanted);
    return std::nullopt;
  }
  return N;
}

}  // namespace

bool TServerLimits::Empty() const noexcept {
  for (const TLimitKey& K : kLimitKeys)
    if ((this->*K.Member).has_value()) return false;
  return !ListenAddress.has_value();
}

std::string TServerLimits::Describe() const {
  std::string Text;
  const auto Add = [&Text](const std::string& Key, const std::string& Value) {
    Text += (Text.empty() ? "" : ", ") + Key + "=" + Value;
  };
  for (const TLimitKey& K : kLimitKeys)
    if (const auto& V = this->*K.Member) Add(K.Key, std::to_string(*V));
  if (ListenAddress) Add(kListenAddress, *ListenAddress);
  return Text;
}

TServerLimits ParseServerLimits(std::string_view EntryJSON) {
  TServerLimits Limits;
  const json Entry = json::parse(EntryJSON.begin(), EntryJSON.end(), nullptr, /*allow_exceptions=*/false);
  if (!Entry.is_object()) return Limits;
  const auto It = Entry.find(kServerLimits);
  if (It == Entry.end()) return Limits;
  if (!It->is_object()) {
    ShowErrorMsg(std::string("Недопустимое значение ServerLimits: ") + Shown(*It) +
                 " (нужен объект JSON). Используются значения по умолчанию.");
    return Limits;
  }
  for (const auto& [Key, Value] : It->items()) {
    if (Key == kListenAddress) {
      const std::string Text = Value.is_string() ? Trim(Value.get_ref<const std::string&>()) : std::string{};
      if (Value.is_string() && Text.empty()) continue;
      if (!IsNumericAddress(Text)) {
        ReportBadValue(Key, Value, "нужен адрес IPv4 или IPv6, например 0.0.0.0, 127.0.0.1 или ::");
        continue;
      }
      Limits.ListenAddress = Text;
      continue;
    }
    const TLimitKey* Found = nullptr;
    for (const TLimitKey& K : kLimitKeys)
      if (Key == K.Key) Found = &K;
    if (!Found) {
      // A misspelt key would otherwise be a limit silently not applied.
      const std::string Quoted = Shown(json(Key));
      ShowErrorMsg("Неизвестный параметр ServerLimits." + Quoted.substr(1, Quoted.size() - 2) + " не учитывается.");
      continue;
    }
    Limits.*(Found->Member) = LimitValue(*Found, Value);
  }
  return Limits;
}

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
  const std::string Entry = ProgramSettingsFile().Read(SettingsSection, FSettingID);
  // The limits stand on their own: an entry may hold them without "ConnectDB".
  ServerLimits = ParseServerLimits(Entry);
  const TSettingsTree Tree = TSettingsTree::FromJSON(Entry);
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
  // The limits have no console field: the sub-tree the operator wrote stays as
  // the file holds it now, member for member (also values the loader refused).
  const TSettingsFile File = ProgramSettingsFile();
  const std::string Old = File.Read(SettingsSection, FSettingID);
  const json OldEntry = json::parse(Old.begin(), Old.end(), nullptr, /*allow_exceptions=*/false);
  if (!OldEntry.is_object() || !OldEntry.contains(kServerLimits)) {
    File.Write(SettingsSection, FSettingID, Tree.ToJSON());
    return;
  }
  json Entry = json::parse(Tree.ToJSON());
  Entry[kServerLimits] = OldEntry.at(kServerLimits);
  File.Write(SettingsSection, FSettingID, Entry.dump(-1, ' ', false, json::error_handler_t::replace));
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

void TConnectSettings::ConnectFromIni(bool IsShowMessage) { Connect(FieldsConnInfo(*this), IsShowMessage); }

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
  TConnInfo Info = RowConnInfo(*Q);
  Info.DirFiles = Trim(Info.DirFiles);
  Connect(Info, IsShowMessage);
}

void TConnectSettings::Connect(const TConnInfo& ConnInp, bool IsShowMessage) {
  if (!dmQxSrvConnects) dmQxSrvConnects = std::make_unique<TdmQxSrvConnects>();
  TdmQxSrvConnects& M = *dmQxSrvConnects;
  db::TConnection& Cn = M.cnQxConn;
  Cn.Close();
  Cn.SetDriverName(ConnInp.TypeDB);
  Cn.Params().clear();
  M.SetConnParams(ConnInp);
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
    if (ListHasRow()) Info = RowConnInfo(*FiqConnects);
  } else {
    Info = FieldsConnInfo(*this);
    if (FSource == TConnectSource::Default) Info.Dbname = qxroot().FindSQLiteDB(DefaultDBName);
    Info.DirFiles = Trim(edDirFiles).empty() ? NormalizePath(AppDir() + "files\\") : edDirFiles;
  }
  Info.NameConnection = MainDBSrv;
  Info.IdentConnection = MainDBSrv;
  qxroot().ReplConnections(Info);
}

}  // namespace ordex
