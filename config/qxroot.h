// The process-wide root object: user-interface settings (language, style), the
// process flags, the list of database connection descriptions with the main
// connection "MainDBSrv", the version record, and a few process services.
// Exactly one exists while the program runs, reached through qxroot().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/qxDateTime.h"
#include "common/qxversion.h"
#include "config/qxSettings.h"

namespace ordex {

class TdmMHConns;

// One database connection description.
struct TConnInfo {
  std::string NameConnection;
  std::string IdentConnection;
  std::string Server;
  std::string Port;
  std::string Dbname;
  std::string Username;
  std::string Password;
  std::string TypeDB;
  std::string TypeDBID;
  std::string ConnID;
  std::string DirFiles;
};

inline constexpr const char* MainDBSrv = "MainDBSrv";

// The session of a remote client as the server knows it.
struct TQxSessionInfo {
  std::string Login;
  std::string UserID;
  std::string PasswdMd5;
  std::string RoleID;
  std::string RoleName;
  std::string Protocol;
  TDateTime SessionStart = 0;
};

class Tqxroot {
 public:
  Tqxroot();
  virtual ~Tqxroot();
  Tqxroot(const Tqxroot&) = delete;
  Tqxroot& operator=(const Tqxroot&) = delete;

  // Defaults ("Ru", "Amakrits"), then LoadSettings.
  void Init();
  void LoadSettings();
  void SaveSettings();
  virtual void ReadSettings(const TSettingsTree& Keeper);
  virtual void WriteSettings(TSettingsTree& Keeper) const;
  virtual std::string GetSeettingID() const { return "Tqxroot"; }
  void ReadBoundsSettings(const TSettingsTree& BoundsSets);
  // Writes the settings back (end of the run).
  void Destr() { SaveSettings(); }
  // The console switches the visual style; the headless server has none.
  std::function<void(const std::string&)> OnApplyStyle;
  void InitStyle(const std::string& ActiveStyle);

  const std::string& CurrentLang() const noexcept { return FCurrentLang; }
  void SetCurrentLang(std::string V) { FCurrentLang = std::move(V); }
  const std::string& CurrentDesign() const noexcept { return FCurrentDesign; }
  void SetCurrentDesign(std::string V) { FCurrentDesign = std::move(V); }
  // Read by the worker threads of logins and sessions while the console sets it.
  bool IsRun() const noexcept { return FIsRun.load(); }
  void SetIsRun(bool V) noexcept { FIsRun.store(V); }
  bool IsUpdate() const noexcept { return FIsUpdate; }
  void SetIsUpdate(bool V) noexcept { FIsUpdate = V; }
  std::function<TDateTime()> GetNowFunc;

  // Connection list; every operation holds the list's lock for its copy only.
  void ClearConnections();
  void AddConnections(const TConnInfo& ConnInfo);
  void SetConnection(std::int32_t ConNum, const TConnInfo& ConnInfo);  // throws on a bad index
  std::int32_t FindConnection(const std::string& ConnName) const;
  void ReplConnections(const TConnInfo& ConnInfo);
  TConnInfo GetConnectionByName(const std::string& ConnName) const;
  TConnInfo GetConnectionInfo(const std::string& ConnectName) const;
  TConnInfo GetConnectionInfo(std::int32_t ID) const;  // throws on a bad index
  std::int32_t ConnectionCount() const;
  void IniConnections(const TConnInfo& ConnInfo);
  std::string GetDirFiles() const;

  // Fills a description from "Name=Value" lines (Database, Server, Username, Password).
  TConnInfo StrToConnectInfo(const std::string& StrInp) const;
  static std::string NameTypeDBToZeosType(const std::string& NameTypeDB);

  // Local SQLite database files.
  std::string FindSQLiteDB(const std::string& dbname) const;
  void IniMainDB(const std::string& dbname);
  bool Connected() const;
  TdmMHConns* MHConns() const noexcept { return FMHConns.get(); }
  // Makes (once) and returns the local connection module.
  TdmMHConns& EnsureMHConns();

  // Process services.
  bool isCommand(const std::string& CommandName) const;
  void SetCommandLine(std::vector<std::string> Args) { FArgs = std::move(Args); }  // without the program name
  TDateTime GetNow() const;
  // The operating-system code the updater sends: that of the platform built
  // for ("linux64" here), so that the update server offers a program this
  // host can run.
  static std::string GetOSApp();

  Tqxversion Ver;

 private:
  std::string FCurrentLang;
  std::string FCurrentDesign;
  std::atomic<bool> FIsRun{false};
  bool FIsUpdate = true;
  mutable std::mutex FConnectionsLock;  // guards FConnections
  std::vector<TConnInfo> FConnections;
  std::vector<std::string> FArgs;
  std::unique_ptr<TdmMHConns> FMHConns;
};

// The root object of the run; set by the program start (or a test), cleared at its end.
Tqxroot& qxroot();
bool HasQxroot() noexcept;
void SetQxroot(Tqxroot* Root) noexcept;

}  // namespace ordex
