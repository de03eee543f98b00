#include "tests/support/TestDatabases.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "common/qxversion.h"
#include "schema/OrdexSchema.h"

namespace ordex::test {

namespace {

namespace fs = std::filesystem;

// The MySQL server named by ORDEX_TEST_MYSQL ("host:port:user:password"; the
// password may itself contain colons).
struct TMySQLServer {
  std::string Host, Port, User, Password;
};

std::optional<TMySQLServer> MySQLServerFromEnv() {
  const char* Env = std::getenv("ORDEX_TEST_MYSQL");
  if (Env == nullptr || *Env == '\0') return std::nullopt;
  std::string_view Rest(Env);
  TMySQLServer S;
  std::string* Parts[] = {&S.Host, &S.Port, &S.User};
  for (std::string* Part : Parts) {
    const std::size_t Colon = Rest.find(':');
    if (Colon == std::string_view::npos)
      throw EArgumentError("ORDEX_TEST_MYSQL must be host:port:user:password, not \"" +
                           std::string(Env) + "\"");
    *Part = std::string(Rest.substr(0, Colon));
    Rest.remove_prefix(Colon + 1);
  }
  S.Password = std::string(Rest);
  return S;
}

// A database name that is safe to paste between back-quotes.
void CheckDatabaseName(const std::string& Name) {
  const bool Ok = !Name.empty() && Name.size() <= 64 &&
                  Name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
  if (!Ok) throw EArgumentError("Bad test database name \"" + Name + "\"");
}

std::string MakeTempDir() {
  std::string Pattern = (fs::temp_directory_path() / "ordex-test-XXXXXX").string();
  if (::mkdtemp(Pattern.data()) == nullptr)
    throw EFileError("Cannot create a temporary folder from " + Pattern);
  return Pattern;
}

void SetParams(db::TConnection& Conn, const TConnInfo& Info, bool WithDatabase) {
  Conn.Close();
  Conn.SetDriverName(Info.TypeDB);
  auto& P = Conn.Params();
  P.clear();
  P.push_back("CharacterSet=utf8mb4");
  P.push_back("DriverID=" + Info.TypeDB);
  const auto Add = [&P](const char* Name, const std::string& Value) {
    if (!Value.empty()) P.push_back(std::string(Name) + "=" + Value);
  };
  Add("Server", Info.Server);
  Add("Port", Info.Port);
  if (WithDatabase) Add("Database", Info.Dbname);
  Add("User_Name", Info.Username);
  Add("Password", Info.Password);
}

// Runs one statement on the MySQL server outside any database.
void ExecOnServer(const TConnInfo& Info, const std::string& SQL) {
  db::TConnection Conn;
  SetParams(Conn, Info, false);
  Conn.Open();
  Conn.ExecSQL(SQL);
}

}  // namespace

std::vector<std::string> TestKinds() {
  std::vector<std::string> Kinds = {"SQLite"};
  if (MySQLServerFromEnv()) Kinds.push_back("MySQL");
  return Kinds;
}

TTestDatabase::TTestDatabase(const std::string& Kind, bool WithSchema, const std::string& Name) {
  FInfo.NameConnection = MainDBSrv;
  FInfo.IdentConnection = MainDBSrv;
  FInfo.TypeDB = Kind;
  FTempDir = MakeTempDir();
  bool MySQLCreated = false;
  try {
    FInfo.DirFiles = FTempDir + "/files/";
    fs::create_directories(FInfo.DirFiles);

    db::TConnection Conn;
    if (Kind == "SQLite") {
      FInfo.Dbname = FTempDir + "/ordex.db";
      SetParams(Conn, FInfo, true);
      Conn.Params().push_back("OpenMode=CreateUTF16");  // makes the file
      Conn.Open();
    } else if (Kind == "MySQL") {
      const auto Server = MySQLServerFromEnv();
      if (!Server) throw EArgumentError("ORDEX_TEST_MYSQL is not set; no MySQL test database");
      FInfo.Server = Server->Host;
      FInfo.Port = Server->Port;
      FInfo.Username = Server->User;
      FInfo.Password = Server->Password;
      FInfo.Dbname = Name.empty() ? "ordex_t_" + std::to_string(::getpid()) + "_" + NewID().substr(0, 8) : Name;
      CheckDatabaseName(FInfo.Dbname);
      // A fixed name such as qxordex may be left over from an aborted run.
      ExecOnServer(FInfo, "DROP DATABASE IF EXISTS `" + FInfo.Dbname + "`");
      ExecOnServer(FInfo, "CREATE DATABASE `" + FInfo.Dbname + "` CHARACTER SET utf8mb4");
      MySQLCreated = true;
      Open(Conn);
    } else {
      throw EArgumentError("No test database for the kind \"" + Kind + "\"");
    }
    if (WithSchema) schema::InstallDocumentSchema(Conn, Kind, Tqxversion().Version());
  } catch (...) {
    std::error_code Ignored;
    fs::remove_all(FTempDir, Ignored);
    if (MySQLCreated) {
      try {
        ExecOnServer(FInfo, "DROP DATABASE IF EXISTS `" + FInfo.Dbname + "`");
      } catch (const std::exception&) {
        // Deliberately ignored: the construction error is the one to report.
      }
    }
    throw;
  }
}

TTestDatabase::~TTestDatabase() {
  if (FInfo.TypeDB == "MySQL") {
    try {
      ExecOnServer(FInfo, "DROP DATABASE IF EXISTS `" + FInfo.Dbname + "`");
    } catch (const std::exception&) {
      // Deliberately ignored: a destructor must not throw; the name is unique.
    }
  }
  std::error_code Ignored;
  fs::remove_all(FTempDir, Ignored);
}

void TTestDatabase::Open(db::TConnection& Conn) const {
  SetParams(Conn, FInfo, true);
  Conn.Open();
}

}  // namespace ordex::test
