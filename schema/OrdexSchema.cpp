#include "schema/OrdexSchema.h"

#include <cctype>
#include <exception>

#include "OrdexSchemaScripts.h"
#include "common/qxBase.h"
#include "common/qxError.h"
#include "platform/db/DbDriver.h"

namespace ordex::schema {

namespace {

bool IsIdentChar(char C) noexcept {
  return std::isalnum(static_cast<unsigned char>(C)) != 0 || C == '_' || C == '$';
}

// True when Text, without leading blanks, begins with the words CREATE TRIGGER.
bool StartsTrigger(std::string_view Text) {
  const std::string Upper = UpperCaseAscii(Trim(Text));
  static constexpr std::string_view Create = "CREATE";
  if (!Upper.starts_with(Create)) return false;
  std::size_t I = Create.size();
  if (I >= Upper.size() || IsIdentChar(Upper[I])) return false;
  while (I < Upper.size() && static_cast<unsigned char>(Upper[I]) <= 32) ++I;
  const std::string_view Rest = std::string_view(Upper).substr(I);
  return Rest.starts_with("TRIGGER") && (Rest.size() == 7 || !IsIdentChar(Rest[7]));
}

// True when Text ends with the word END (blanks after it ignored).
bool EndsWithEnd(std::string_view Text) {
  const std::string T = UpperCaseAscii(Trim(Text));
  if (!T.ends_with("END")) return false;
  return T.size() == 3 || !IsIdentChar(T[T.size() - 4]);
}

void AddStatement(std::vector<std::string>& Out, std::string& Current) {
  std::string S = Trim(Current);
  if (!S.empty()) Out.push_back(std::move(S));
  Current.clear();
}

db::TParam& AddText(db::TParams& P, const char* Name, std::string Value) {
  db::TParam& Param = P.Add(Name, db::TFieldType::Text);
  Param.SetText(std::move(Value));
  return Param;
}

// Runs Body in a transaction on Conn; rolls back and rethrows on failure.
template <class F>
void InTransaction(db::TConnection& Conn, F&& Body) {
  Conn.StartTransaction();
  try {
    Body();
    Conn.Commit();
  } catch (...) {
    Conn.Rollback();
    throw;
  }
}

}  // namespace

const std::vector<std::string>& DocumentTables() {
  static const std::vector<std::string> Tables = {
      "oxTree", "oxFiles", "oxHistory", "oxTreeRight", "oxTabuFiles",
      "qxroles", "qxusers", "qxpreview", "qxconst"};
  return Tables;
}

std::string_view SchemaScript(std::string_view Kind) {
  if (Kind == "SQLite") return detail::SQLiteScript;
  if (Kind == "MySQL") return detail::MySQLScript;
  throw EArgumentError("No document schema for the database kind \"" + std::string(Kind) +
                       "\"; served kinds are SQLite and MySQL");
}

std::vector<std::string> SplitScript(std::string_view Script) {
  std::vector<std::string> Out;
  std::string Current;
  const std::size_t N = Script.size();
  std::size_t I = 0;
  while (I < N) {
    const char C = Script[I];
    const char Next = I + 1 < N ? Script[I + 1] : '\0';
    if (C == '-' && Next == '-') {  // line comment: dropped
      while (I < N && Script[I] != '\n') ++I;
      continue;
    }
    if (C == '/' && Next == '*') {  // block comment: dropped, keeps a blank
      const std::size_t End = Script.find("*/", I + 2);
      I = End == std::string_view::npos ? N : End + 2;
      Current += ' ';
      continue;
    }
    if (C == '\'' || C == '"' || C == '`') {  // quoted: copied whole, doubled quotes included
      Current += C;
      ++I;
      while (I < N) {
        Current += Script[I];
        if (Script[I] == C) {
          if (I + 1 < N && Script[I + 1] == C) {
            Current += C;
            I += 2;
            continue;
          }
          ++I;
          break;
        }
        if (C == '\'' && Script[I] == '\\' && I + 1 < N) Current += Script[++I];
        ++I;
      }
      continue;
    }
    if (C == ';' && (!StartsTrigger(Current) || EndsWithEnd(Current))) {
      AddStatement(Out, Current);
      ++I;
      continue;
    }
    Current += C;
    ++I;
  }
  AddStatement(Out, Current);
  return Out;
}

std::string FindExistingDocumentTable(db::TConnection& Conn) {
  db::detail::IConnection& Engine = Conn.Engine();
  for (const std::string& Table : DocumentTables())
    if (!Engine.TableColumns(Table).empty()) return Table;
  return {};
}

void InstallDocumentSchema(db::TConnection& Conn, const std::string& Kind,
                           const std::string& ProgramVersion) {
  const std::vector<std::string> Statements = SplitScript(SchemaScript(Kind));
  db::detail::IConnection& Engine = Conn.Engine();
  if (Engine.Dialect() != Kind)
    throw EArgumentError("The connection is " + std::string(Engine.Dialect()) +
                         ", not " + Kind + "; the document schema was not installed");
  if (const std::string Existing = FindExistingDocumentTable(Conn); !Existing.empty())
    throw EDatabaseError("The database already holds the document tables (" + Existing +
                         " exists); the schema was not installed");

  const auto Install = [&] {
    for (const std::string& Statement : Statements) Conn.ExecSQL(Statement);
    db::TParams P;
    AddText(P, "constid", VersionRowName);
    AddText(P, "var_name", VersionRowName);
    AddText(P, "value", ProgramVersion);
    Conn.ExecSQL("INSERT INTO qxconst (constid, var_name, username, " +
                     Engine.QuoteIdentifier("comment") + ", " + Engine.QuoteIdentifier("value") +
                     ", pub, del) VALUES (:constid, :var_name, '', '', :value, 0, 0)",
                 &P);
  };

  if (Kind == "SQLite") {
    // SQLite runs DDL inside transactions: a failure leaves the file as it was.
    InTransaction(Conn, Install);
    return;
  }
  // MySQL commits every DDL statement at once; undo by dropping what was made.
  try {
    Install();
  } catch (...) {
    const auto& Tables = DocumentTables();
    for (auto It = Tables.rbegin(); It != Tables.rend(); ++It) {
      try {
        Conn.ExecSQL("DROP TABLE IF EXISTS " + Engine.QuoteIdentifier(*It));
      } catch (const std::exception&) {
        // Deliberately ignored: the original failure is the one to report.
      }
    }
    throw;
  }
}

void CreateAdministrator(db::TConnection& Conn, const std::string& Login,
                         const std::string& PasswordPlain) {
  const std::string TrimmedLogin = Trim(Login);
  if (TrimmedLogin.empty()) throw EArgumentError("The administrator login is empty");
  if (TrimmedLogin.size() > 100) throw EArgumentError("The administrator login is longer than 100 characters");
  if (Trim(PasswordPlain).empty()) throw EArgumentError("The administrator password is empty");

  db::detail::IConnection& Engine = Conn.Engine();
  InTransaction(Conn, [&] {
    db::TQuery Role(Conn, "iqAdminRole");
    Role.SetSQL("SELECT roleid FROM qxroles WHERE roleid=:roleid");
    Role.ParamByName("roleid").SetText(AdminRoleID);
    Role.Open();
    if (Role.IsEmpty()) {
      db::TParams P;
      AddText(P, "roleid", AdminRoleID);
      AddText(P, "rolename", "Администраторы");
      Conn.ExecSQL("INSERT INTO qxroles (roleid, rolename, commentrole, active, pubrole, order_roles) "
                   "VALUES (:roleid, :rolename, '', 1, 0, 1)",
                   &P);
    }

    db::TQuery User(Conn, "iqAdminUser");
    User.SetSQL("SELECT user_id FROM qxusers WHERE login=:login");
    User.ParamByName("login").SetText(TrimmedLogin);
    User.Open();
    if (!User.IsEmpty()) throw EArgumentError("The user \"" + TrimmedLogin + "\" already exists");

    db::TParams P;
    AddText(P, "user_id", NewID());
    AddText(P, "login", TrimmedLogin);
    AddText(P, "passwd", MD5Hex(PasswordPlain));
    AddText(P, "roleid", AdminRoleID);
    Conn.ExecSQL("INSERT INTO qxusers (user_id, login, " + Engine.QuoteIdentifier("password") +
                     ", roleid, active) VALUES (:user_id, :login, :passwd, :roleid, 1)",
                 &P);
  });
}

}  // namespace ordex::schema
