// ordex-initdb: creates a new document database (tables, version row and the
// first administrator) on SQLite or MySQL/MariaDB.
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "common/qxversion.h"
#include "platform/db/Db.h"
#include "platform/db/DbDriver.h"
#include "schema/OrdexSchema.h"

namespace {

using namespace ordex;

constexpr const char* Usage =
    "usage: ordex-initdb --kind SQLite --database FILE [--admin LOGIN] [--password TEXT]\n"
    "       ordex-initdb --kind MySQL --server HOST [--port N] --user U [--db-password W] --database NAME\n"
    "                    [--admin LOGIN] [--password TEXT]\n"
    "\n"
    "Creates the tables of a new Ordex document database, records the schema version\n"
    "and adds the first administrator (login \"admin\" unless --admin is given). Without\n"
    "--password a random password is made and printed once. A database that already\n"
    "holds the document tables is refused and left unchanged. For MySQL the database\n"
    "(default \"qxordex\") is created when it does not exist.\n";

struct TOptions {
  std::string Kind, Database, Server, Port, User, DbPassword;
  std::string Admin = "admin";
  std::optional<std::string> Password;
  bool Help = false;
};

class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

TOptions ParseArgs(const std::vector<std::string_view>& Args) {
  TOptions O;
  for (std::size_t I = 0; I < Args.size(); ++I) {
    const std::string_view A = Args[I];
    if (A == "--help" || A == "-h") {
      O.Help = true;
      continue;
    }
    const auto Value = [&]() -> std::string {
      if (I + 1 >= Args.size()) throw TUsageError("option " + std::string(A) + " needs a value");
      return std::string(Args[++I]);
    };
    if (A == "--kind") O.Kind = Value();
    else if (A == "--database") O.Database = Value();
    else if (A == "--server") O.Server = Value();
    else if (A == "--port") O.Port = Value();
    else if (A == "--user") O.User = Value();
    else if (A == "--db-password") O.DbPassword = Value();
    else if (A == "--admin") O.Admin = Value();
    else if (A == "--password") O.Password = Value();
    else throw TUsageError("unknown argument \"" + std::string(A) + "\"");
  }
  if (O.Help) return O;
  if (O.Kind == "SQLite") {
    if (O.Database.empty()) throw TUsageError("--database FILE is required for SQLite");
    if (!O.Server.empty() || !O.Port.empty() || !O.User.empty() || !O.DbPassword.empty())
      throw TUsageError("--server, --port, --user and --db-password are for MySQL only");
  } else if (O.Kind == "MySQL") {
    if (O.Server.empty()) throw TUsageError("--server HOST is required for MySQL");
    if (O.User.empty()) throw TUsageError("--user U is required for MySQL");
    if (O.Database.empty()) O.Database = "qxordex";
  } else if (O.Kind.empty()) {
    throw TUsageError("--kind SQLite or --kind MySQL is required");
  } else {
    throw TUsageError("unsupported kind \"" + O.Kind + "\" (SQLite or MySQL)");
  }
  if (Trim(O.Admin).empty()) throw TUsageError("--admin must not be empty");
  if (O.Password && Trim(*O.Password).empty()) throw TUsageError("--password must not be empty");
  return O;
}

void SetMySQLParams(db::TConnection& Conn, const TOptions& O, bool WithDatabase) {
  Conn.Close();
  Conn.SetDriverName("MySQL");
  auto& P = Conn.Params();
  P = {"CharacterSet=utf8mb4", "DriverID=MySQL", "Server=" + O.Server};
  if (!O.Port.empty()) P.push_back("Port=" + O.Port);
  if (WithDatabase) P.push_back("Database=" + O.Database);
  P.push_back("User_Name=" + O.User);
  if (!O.DbPassword.empty()) P.push_back("Password=" + O.DbPassword);
}

// Opens Conn on the database the options name, creating a missing MySQL database.
void OpenTarget(db::TConnection& Conn, const TOptions& O) {
  if (O.Kind == "SQLite") {
    Conn.SetDriverName("SQLite");
    Conn.Params() = {"CharacterSet=utf8mb4", "DriverID=SQLite", "Database=" + O.Database,
                     "LockingMode=Normal", "OpenMode=CreateUTF16", "StringFormat=Unicode"};
    Conn.Open();
    return;
  }
  SetMySQLParams(Conn, O, false);
  Conn.Open();
  Conn.ExecSQL("CREATE DATABASE IF NOT EXISTS " + Conn.Engine().QuoteIdentifier(O.Database) +
               " CHARACTER SET utf8mb4");
  SetMySQLParams(Conn, O, true);
  Conn.Open();
}

int Run(const TOptions& O) {
  namespace fs = std::filesystem;
  const bool NewFile = O.Kind == "SQLite" && !fs::exists(O.Database);
  const std::string Password = O.Password ? *O.Password : NewID().substr(0, 16);
  const std::string Version = Tqxversion().Version();
  try {
    db::TConnection Conn;
    OpenTarget(Conn, O);
    schema::InstallDocumentSchema(Conn, O.Kind, Version);
    schema::CreateAdministrator(Conn, O.Admin, Password);
  } catch (...) {
    // A file this run created holds nothing of value; leave no half-made store.
    if (NewFile) {
      std::error_code Ignored;
      fs::remove(O.Database, Ignored);
    }
    throw;
  }
  std::cout << "Created the document database " << (O.Kind == "SQLite" ? O.Database : O.Server + "/" + O.Database)
            << " (" << O.Kind << ", schema version " << Version << ")\n"
            << "Administrator login: " << Trim(O.Admin) << '\n';
  if (!O.Password) std::cout << "Administrator password: " << Password << "   (shown only now)\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> Args(argv + 1, argv + argc);
  TOptions Options;
  try {
    Options = ParseArgs(Args);
  } catch (const TUsageError& E) {
    std::cerr << "ordex-initdb: " << E.what() << "\n\n" << Usage;
    return 2;
  }
  if (Options.Help) {
    std::cout << Usage;
    return 0;
  }
  try {
    return Run(Options);
  } catch (const std::exception& E) {
    std::cerr << "ordex-initdb: " << ordex::ErrorClassName(E) << ": " << E.what() << '\n';
    return 1;
  }
}
