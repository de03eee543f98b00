// The document database schema: the creation scripts for SQLite and MySQL
// (schema/sqlite.sql, schema/mysql.sql, embedded at build time), their
// installation into an empty database with the schema version row, and the
// first administrator account.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/db/Db.h"

namespace ordex::schema {

// Name of the qxconst row that records the schema version.
inline constexpr const char* VersionRowName = "ordexapp-ver";
// Id of the administrators' role that CreateAdministrator uses.
inline constexpr const char* AdminRoleID = "1";

// The tables the scripts create, in creation order.
const std::vector<std::string>& DocumentTables();

// The creation script of a kind ("SQLite" or "MySQL"); EArgumentError otherwise.
std::string_view SchemaScript(std::string_view Kind);

// Splits a script into its statements, without comments: a statement ends at a
// semicolon outside quotes and comments; a CREATE TRIGGER ends at "END;".
std::vector<std::string> SplitScript(std::string_view Script);

// The first document table that exists on Conn, or "" when there is none.
std::string FindExistingDocumentTable(db::TConnection& Conn);

// Creates every document table, index and trigger on Conn (opened or openable,
// of the given kind) and inserts the version row (value ProgramVersion).
// Refuses with EDatabaseError, changing nothing, when a document table already
// exists. A failure part way removes what was created before rethrowing.
void InstallDocumentSchema(db::TConnection& Conn, const std::string& Kind,
                           const std::string& ProgramVersion);

// Adds a user Login in the administrators' role "1" (creating the role when it
// is missing) with the MD5Hex digest of PasswordPlain and active 1. Refuses an
// empty or overlong login, an empty password and a login already in use
// (EArgumentError); nothing is written then.
void CreateAdministrator(db::TConnection& Conn, const std::string& Login,
                         const std::string& PasswordPlain);

}  // namespace ordex::schema
