// Helpers shared by the units of the access layer (not used outside platform/db).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/db/Db.h"

namespace ordex::db::detail {

// The first table named after the first top-level FROM of a statement, without
// its schema qualifier and quotes; "" when there is none.
std::string BaseTableOf(std::string_view SQL);

// One value per placeholder of Parsed, taken by name from Params. A parameter
// typed Text with a size binds its value as text; another typed parameter binds
// its value converted to its type. Throws EDatabaseError "Parameter 'X' not found".
std::vector<TValue> BindArgs(const TParsedSQL& Parsed, const TParams& Params);

// Prepares, binds and runs one statement on Conn; returns the statement.
std::unique_ptr<IStatement> RunStatement(IConnection& Conn, const std::string& EngineSQL,
                                         const std::vector<TValue>& Args);

}  // namespace ordex::db::detail
