// The process-wide root object.
#include "config/qxroot.h"

#include <atomic>
#include <filesystem>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "config/dmMHConn.h"

namespace ordex {

namespace {

std::atomic<Tqxroot*>& RootPointer() noexcept {
  static std::atomic<Tqxroot*> Root{nullptr};
  return Root;
}

bool IsFile(const std::string& Path) {
  std::error_code Ec;
  return std::filesystem::is_regular_file(Path, Ec);
}

}  // namespace

Tqxroot::Tqxroot() = default;

// The local connection module is complete here, so its unique_ptr can free it.
Tqxroot::~Tqxroot() = default;

// ---------------------------------------------------------------------------
// Settings. The root object keeps its entry in the one settings file of the
// program (IniFileName, ".ini"), the same file the connection and window
// settings use.

void Tqxroot::Init() {
  FCurrentLang = "Ru";
  FCurrentDesign = "Amakrits";
  LoadSettings();
}

void Tqxroot::LoadSettings() {
  const std::string Text = ProgramSettingsFile().Read("App", GetSeettingID());
  ReadSettings(TSettingsTree::FromJSON(Text));
}

void Tqxroot::SaveSettings() {
  TSettingsTree Keeper;
  WriteSettings(Keeper);
  ProgramSettingsFile().Write("App", GetSeettingID(), Keeper.ToJSON());
}

void Tqxroot::ReadSettings(const TSettingsTree& Keeper) {
  if (const TSettingsTree* App = Keeper.Tree("App")) ReadBoundsSettings(*App);
}

void Tqxroot::WriteSettings(TSettingsTree& Keeper) const {
  TSettingsTree App;
  App.SetValue("CurrentLang", FCurrentLang);
  App.SetValue("CurrentDesign", FCurrentDesign);
  Keeper.SetTree("App", std::move(App));
}

void Tqxroot::ReadBoundsSettings(const TSettingsTree& BoundsSets) {
  if (BoundsSets.HasValue("CurrentLang")) FCurrentLang = BoundsSets.Value("CurrentLang");
  if (BoundsSets.HasValue("CurrentDesign")) FCurrentDesign = BoundsSets.Value("CurrentDesign");
}

void Tqxroot::InitStyle(const std::string& ActiveStyle) {
  const std::string Wanted = Trim(FCurrentDesign);
  if (Trim(ActiveStyle) != Wanted && OnApplyStyle) OnApplyStyle(Wanted);
}

// ---------------------------------------------------------------------------
// Connection list

namespace {

// Index of the last entry whose member, trimmed, equals Name trimmed; -1 when none.
std::int32_t FindLast(const std::vector<TConnInfo>& List, std::string TConnInfo::*Member, const std::string& Name) {
  const std::string Wanted = Trim(Name);
  for (std::size_t I = List.size(); I-- > 0;)
    if (Trim(List[I].*Member) == Wanted) return static_cast<std::int32_t>(I);
  return -1;
}

[[noreturn]] void BadIndex(std::int32_t Index, std::size_t Count) {
  throw EArgumentError("Connection index " + std::to_string(Index) + " is out of range (0.." +
                       std::to_string(static_cast<std::int64_t>(Count) - 1) + ")");
}

}  // namespace

void Tqxroot::ClearConnections() {
  std::lock_guard Guard(FConnectionsLock);
  FConnections.clear();
}

void Tqxroot::AddConnections(const TConnInfo& ConnInfo) {
  std::lock_guard Guard(FConnectionsLock);
  FConnections.push_back(ConnInfo);
}

void Tqxroot::SetConnection(std::int32_t ConNum, const TConnInfo& ConnInfo) {
  std::lock_guard Guard(FConnectionsLock);
  if (ConNum < 0 || static_cast<std::size_t>(ConNum) >= FConnections.size()) BadIndex(ConNum, FConnections.size());
  FConnections[static_cast<std::size_t>(ConNum)] = ConnInfo;
}

std::int32_t Tqxroot::FindConnection(const std::string& ConnName) const {
  std::lock_guard Guard(FConnectionsLock);
  return FindLast(FConnections, &TConnInfo::IdentConnection, ConnName);
}

void Tqxroot::ReplConnections(const TConnInfo& ConnInfo) {
  std::lock_guard Guard(FConnectionsLock);
  const std::int32_t I = FindLast(FConnections, &TConnInfo::IdentConnection, ConnInfo.NameConnection);
  if (I < 0)
    FConnections.push_back(ConnInfo);
  else
    FConnections[static_cast<std::size_t>(I)] = ConnInfo;
}

TConnInfo Tqxroot::GetConnectionByName(const std::string& ConnName) const {
  std::lock_guard Guard(FConnectionsLock);
  const std::int32_t I = FindLast(FConnections, &TConnInfo::IdentConnection, ConnName);
  return I < 0 ? TConnInfo{} : FConnections[static_cast<std::size_t>(I)];
}

TConnInfo Tqxroot::GetConnectionInfo(const std::string& ConnectName) const {
  std::lock_guard Guard(FConnectionsLock);
  const std::int32_t I = FindLast(FConnections, &TConnInfo::NameConnection, ConnectName);
  return I < 0 ? TConnInfo{} : FConnections[static_cast<std::size_t>(I)];
}

TConnInfo Tqxroot::GetConnectionInfo(std::int32_t ID) const {
  std::lock_guard Guard(FConnectionsLock);
  if (ID < 0 || static_cast<std::size_t>(ID) >= FConnections.size()) BadIndex(ID, FConnections.size());
  return FConnections[static_cast<std::size_t>(ID)];
}

std::int32_t Tqxroot::ConnectionCount() const {
  std::lock_guard Guard(FConnectionsLock);
  return static_cast<std::int32_t>(FConnections.size());
}

void Tqxroot::IniConnections(const TConnInfo& ConnInfo) {
  TConnInfo Main = ConnInfo;
  Main.NameConnection = "Main";
  std::lock_guard Guard(FConnectionsLock);
  FConnections.clear();
  FConnections.push_back(std::move(Main));
}

std::string Tqxroot::GetDirFiles() const { return GetConnectionInfo(std::string(MainDBSrv)).DirFiles; }

TConnInfo Tqxroot::StrToConnectInfo(const std::string& StrInp) const {
  TConnInfo Info;
  for (const std::string& Line : SplitText(Trim(StrInp), "\r\n")) {
    const std::string Trimmed = Trim(Line);
    if (Trimmed.empty()) continue;
    const std::vector<std::string> Pair = SplitText(Trimmed, "=");
    if (Pair.size() != 2) {
      ShowErrorMsg("Error Setting String: " + Line);
      continue;
    }
    const std::string Name = Trim(Pair[0]);
    const std::string Value = Trim(Pair[1]);
    if (Name == "Database")
      Info.Dbname = Value;
    else if (Name == "Server")
      Info.Server = Value;
    else if (Name == "Username")
      Info.Username = Value;
    else if (Name == "Password")
      Info.Password = Value;
    else
      ShowErrorMsg("Error Name Param: " + Line);
  }
  return Info;
}

std::string Tqxroot::NameTypeDBToZeosType(const std::string& NameTypeDB) {
  static constexpr std::pair<const char*, const char*> Map[] = {
      {"SQLite", "sqlite-3"},    {"MySQL", "mysql"},   {"PostgreSQL", "postgresql"},  {"Firebird", "firebird"},
      {"Interbase", "interbase"}, {"InterbaseLite", "interbase"}, {"Mongo", "mysql"}, {"MsSQL", "mysql"},
      {"MsAccess", "ado"},       {"DB2", "ado"},       {"Informix", "ado"},           {"Oracle", "oracle"},
  };
  for (const auto& [Name, Protocol] : Map)
    if (NameTypeDB == Name) return Protocol;
  return {};
}

// ---------------------------------------------------------------------------
// Local SQLite database

std::string Tqxroot::FindSQLiteDB(const std::string& dbname) const {
  const std::string NextToProgram = AppDir() + PathSep() + dbname;
  if (IsFile(NextToProgram)) return NextToProgram;
  const std::string InData = RootDir() + PathSep() + "Data" + PathSep() + dbname;
  if (IsFile(InData)) return InData;
  return {};
}

TdmMHConns& Tqxroot::EnsureMHConns() {
  if (!FMHConns) FMHConns = std::make_unique<TdmMHConns>();
  return *FMHConns;
}

void Tqxroot::IniMainDB(const std::string& dbname) {
  TdmMHConns& Module = EnsureMHConns();
  const std::string Path = FindSQLiteDB(dbname);
  if (Path.empty()) return;
  db::TConnection& Conn = Module.cnMyHost;
  Conn.Close();
  Conn.SetDriverName("SQLite");
  Conn.Params() = {"Database=" + Path, "DriverID=SQLite", "LockingMode=Normal", "OpenMode=CreateUTF16",
                   "StringFormat=Unicode"};
  Conn.Open();
}

bool Tqxroot::Connected() const { return FMHConns && FMHConns->cnMyHost.Connected(); }

// ---------------------------------------------------------------------------
// Process services

bool Tqxroot::isCommand(const std::string& CommandName) const {
  const std::string Name = Trim(CommandName);
  for (const std::string& Arg : FArgs) {
    const std::string A = Trim(Arg);
    if (A == "-" + Name || A == "--" + Name) return true;
  }
  return false;
}

TDateTime Tqxroot::GetNow() const { return GetNowFunc ? GetNowFunc() : NowLocal(); }

// The update server keeps one archive per operating-system code. The Windows
// program is always "win32" (also a 64-bit build); other platforms name their
// own, since an archive of the Windows program would replace this one with a
// program the host cannot run.
std::string Tqxroot::GetOSApp() {
#if defined(_WIN32)
  return "win32";
#elif defined(__APPLE__)
  return "macos64";
#elif defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__) || defined(__LP64__))
  return "linux64";
#elif defined(__linux__)
  return "linux32";
#else
  return "unknown";
#endif
}

// ---------------------------------------------------------------------------
// The global reference

Tqxroot& qxroot() {
  Tqxroot* Root = RootPointer().load(std::memory_order_acquire);
  if (!Root) throw Exception("The root object has not been created");
  return *Root;
}

bool HasQxroot() noexcept { return RootPointer().load(std::memory_order_acquire) != nullptr; }

void SetQxroot(Tqxroot* Root) noexcept { RootPointer().store(Root, std::memory_order_release); }

}  // namespace ordex
