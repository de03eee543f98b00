// The connection settings of the console, without any window: which source the
// main connection comes from (the default SQLite store "ordex.db", the fields
// kept in the settings file, or the selected row of the connections database
// "OrdexServer.db"), the texts of the settings fields, the server's port
// fields, the storage folder and the operator's transport limits. Loads and
// saves them in the settings file, connects the console's own database
// connection from the chosen source and records the chosen connection in the
// root object as "MainDBSrv".
//
// Runs on the user-interface thread only (a console, or the headless server's
// start). Messages go through ShowErrorMsg/ShowInfoMsg.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/SchemaCheck.h"
#include "config/dmQxSrvConnect.h"
#include "config/qxroot.h"
#include "platform/db/Db.h"

namespace ordex {

// The three source buttons.
enum class TConnectSource { Default, Ini, DB };

// What ShowConnectSource made visible.
struct TConnectPanels {
  bool paIniSettings = true;  // the connection fields of the settings-file page
  bool tsIniTab = true;       // the tab of the settings-file page
  bool tsDBTab = true;        // the tab of the connections-database page
};

// Operator limits of the transports and their listening address, from the
// sub-tree "ServerLimits" of the settings entry. An empty member keeps the
// server's built-in value; the loader fills only values within their range.
struct TServerLimits {
  std::optional<std::uint64_t> MaxHeaderBytes;   // "MaxHeaderBytes": JSON header of one frame
  std::optional<std::uint64_t> MaxFrameBytes;    // "MaxFrameBytes": whole frame, also the HTTP body
  std::optional<std::uint64_t> MaxConnections;   // "MaxConnections": TCP and HTTP together
  std::optional<std::uint64_t> HeaderTimeoutMs;  // "HeaderTimeoutMs": first frame / request head
  std::optional<std::uint64_t> BodyTimeoutMs;    // "BodyTimeoutMs": rest of a started frame / body
  std::optional<std::uint64_t> HttpIdleMinutes;  // "HttpIdleMinutes": an unused HTTP session ends after
  std::optional<std::uint64_t> WorkerThreads;    // "WorkerThreads": threads that run calls
  std::optional<std::string> ListenAddress;      // "ListenAddress": numeric IPv4 or IPv6 address
  // True when no member is set.
  bool Empty() const noexcept;
  // "Key=value" pairs of the set members, for the log ("" when none).
  std::string Describe() const;
};

// Reads the "ServerLimits" member of a settings entry's JSON text. Each bad
// value or unknown key is shown with ShowErrorMsg naming it; its member stays
// empty. A text that is not a JSON object, or has no such member, gives no limits.
TServerLimits ParseServerLimits(std::string_view EntryJSON);

class TConnectSettings {
 public:
  // SchemaCheck runs on every database opened here (nullptr: no check).
  // SettingID: the settings key, the class name of the owning window.
  explicit TConnectSettings(ISchemaCheck* SchemaCheck = nullptr,
                            std::string SettingID = "TfmOrdexServerMains");
  ~TConnectSettings();
  TConnectSettings(const TConnectSettings&) = delete;
  TConnectSettings& operator=(const TConnectSettings&) = delete;

  // --- State of the settings tab
  TConnectSource Source() const noexcept { return FSource; }
  // Selects a source button as a click does: only a change runs ShowConnectSource.
  void SelectSource(TConnectSource Source);
  // The radio choice and text fields, as the operator or the loader left them.
  std::string edPortServer = "4321";
  std::string edHttp;
  // HTTPS certificate chain and private key files (PEM); both set: the HTTP
  // port speaks HTTPS. Settings keys "HttpsCert" and "HttpsKey".
  std::string edHttpsCert, edHttpsKey;
  std::string edServer, edPort, edLogin, edPassword, edDatabase, edDirFiles;
  // Transport limits and listening address (no console field: set in the file).
  TServerLimits ServerLimits;
  // lbTypeDB: index into db::KnownKinds(), -1 for no selection.
  int lbTypeDB = -1;
  const TConnectPanels& Panels() const noexcept { return FPanels; }

  // --- Operations
  // Shows the panels for the chosen source; in database mode opens the connections database.
  const TConnectPanels& ShowConnectSource();
  // Reads the settings entry into the fields and the server limits, and records
  // the main connection.
  void LoadConnectSettings();
  // Writes the fields as they stand into the settings entry; connects nothing.
  // The entry's "ServerLimits" sub-tree, as the file holds it now, is kept.
  void SaveConnectSettings() const;
  // Copies the root object's main connection into the fields.
  void ShowConnInfo();
  // Connects from the chosen source, then RestoreToConnInfo.
  void ConnectSelected(bool IsShowMessage);
  void ConnectDefault(bool IsShowMessage);
  void ConnectFromIni(bool IsShowMessage);
  void ConnectFromDB(bool IsShowMessage);
  // Connects the console's connection with ConnInp; failures are shown, not thrown
  // (the schema check's own errors excepted).
  void Connect(const TConnInfo& ConnInp, bool IsShowMessage);
  // Records the chosen connection as the main connection "MainDBSrv".
  void RestoreToConnInfo();
  // Opens the connections database when the file exists (else shows an error).
  void OpenConnectsDB();
  // Posts a pending row of the list, then (re)opens it on the connections database.
  void OpenDBList();
  // The chosen kind: "SQLite" when none is selected.
  std::string GetDBTypeName() const;
  std::string GetDirFiles() const;

  // --- Button handlers
  void btnConnectClick() { ConnectSelected(true); }
  void btnSaveClick() const { SaveConnectSettings(); }

  // The console's own database connection module (made by the first Connect).
  std::unique_ptr<TdmQxSrvConnects> dmQxSrvConnects;
  // The list of the connections database (made by the first OpenDBList; on the
  // root object's local connection module, which outlives this object).
  db::TQuery* iqConnects() noexcept { return FiqConnects.get(); }

  // The settings file's section of this entry.
  static constexpr const char* SettingsSection = "ConnectionSettings";
  // Name of the default store and of the connections database.
  static constexpr const char* DefaultDBName = "ordex.db";
  static constexpr const char* ConnectsDBName = "OrdexServer.db";

 private:
  bool ListHasRow() const noexcept;

  ISchemaCheck* FSchemaCheck;  // not owned; may be null
  std::string FSettingID;
  TConnectSource FSource = TConnectSource::Default;
  TConnectPanels FPanels;
  std::unique_ptr<db::TQuery> FiqConnects;
};

}  // namespace ordex
