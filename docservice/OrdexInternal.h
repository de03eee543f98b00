// Small helpers shared by the document service's own .cpp files (not part of
// the service's interface): opening a statement with one text parameter, the
// top-of-tree test, SQL text literals, the scope of a row edit, and the guard
// of upward folder walks.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "common/qxError.h"
#include "platform/db/Db.h"

namespace ordex::detail {

// True for the parent ids that mean "top of the tree": empty or "0" (exact).
inline bool IsTopParent(std::string_view ParentID) noexcept { return ParentID.empty() || ParentID == "0"; }

// Closes Q, binds Value as a text to its parameter Param and runs it.
inline void OpenWith(db::TQuery& Q, std::string_view Param, std::string Value) {
  Q.Close();
  auto& P = Q.ParamByName(Param);
  P.DataType = db::TFieldType::Text;
  P.SetText(std::move(Value));
  Q.Open();
}

// The inside of a single-quoted SQL text literal for the connection's dialect:
// quotes doubled, and on MySQL (where a backslash escapes inside literals)
// backslashes doubled too, so the value can never end the literal early.
inline std::string EscapeSqlText(const db::TConnection& Conn, std::string_view Text) {
  // Anything not known to be SQLite gets the stricter MySQL escaping.
  const bool MySql = Conn.Connected() ? Conn.Dialect() != "SQLite" : !db::SameName(Conn.DriverName(), "SQLite");
  std::string Out;
  Out.reserve(Text.size() + 2);
  for (const char C : Text) {
    if (C == '\'') Out += '\'';
    else if (C == '\\' && MySql) Out += '\\';
    Out += C;
  }
  return Out;
}

// Gives up the row a statement is editing when the scope is left without a
// successful Post (a refused write, a failed hook, a missing column): the
// statement is back in browse state with its rows as read, so the next call
// never finds a half-written row in it.
class TEditScope {
 public:
  explicit TEditScope(db::TQuery& Query) noexcept : FQuery(Query) {}
  ~TEditScope() {
    const db::TDataSetState State = FQuery.State();
    if (State != db::TDataSetState::Edit && State != db::TDataSetState::Insert) return;
    try {
      FQuery.Cancel();
    } catch (...) {
      FQuery.Close();  // the rows could not be restored: forget them instead
    }
  }
  TEditScope(const TEditScope&) = delete;
  TEditScope& operator=(const TEditScope&) = delete;

 private:
  db::TQuery& FQuery;
};

// Remembers the folders an upward walk has visited; a folder met twice means
// the parent links form a cycle, which ends the walk with an error instead of
// looping for ever.
class TFolderWalk {
 public:
  void Visit(const std::string& TreeID) {
    if (!FSeen.insert(TreeID).second)
      throw EDatabaseError("Ошибка в дереве папок: папка '" + TreeID +
                           "' является собственным предком (цикл в parent_treeid)");
  }

 private:
  std::set<std::string> FSeen;
};

}  // namespace ordex::detail
