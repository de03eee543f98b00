#include "platform/db/StatementCache.h"

#include <cctype>

namespace ordex::db::detail {

// ---------------------------------------------------------------------------
// Lease

TStatementLease::TStatementLease(TStatementLease&& Other) noexcept
    : FCache(std::move(Other.FCache)), FEntry(Other.FEntry) {
  Other.FCache.reset();
}

TStatementLease& TStatementLease::operator=(TStatementLease&& Other) noexcept {
  if (this != &Other) {
    Release();
    FCache = std::move(Other.FCache);
    FEntry = Other.FEntry;
    Other.FCache.reset();
  }
  return *this;
}

bool TStatementLease::Fits(const TStatementCache& Cache, std::string_view SQL) const noexcept {
  const auto Owner = FCache.lock();
  return Owner.get() == &Cache && FEntry->Generation == Cache.Generation() && FEntry->SQL == SQL;
}

void TStatementLease::Execute(const std::vector<TValue>& Args) {
  const auto Cache = FCache.lock();
  if (!Cache) throw EDatabaseError("The statement's connection was closed");
  try {
    FEntry->Stmt->Execute(Args);
  } catch (...) {
    // The engine may have left the statement in any state: never reuse it.
    const bool Schema = FEntry->ChangesSchema;
    Discard();
    if (Schema) Cache->SchemaChanged();
    throw;
  }
  if (FEntry->ChangesSchema) Cache->SchemaChanged();
}

void TStatementLease::Release() noexcept {
  if (const auto Cache = FCache.lock()) Cache->GiveBack(FEntry);
  FCache.reset();
}

void TStatementLease::Discard() noexcept {
  if (const auto Cache = FCache.lock()) Cache->Destroy(FEntry);
  FCache.reset();
}

// ---------------------------------------------------------------------------
// Cache

TStatementLease TStatementCache::Acquire(const std::string& SQL) {
  if (const auto It = FIdleBySQL.find(SQL); It != FIdleBySQL.end()) {
    const TEntryIt Entry = It->second;
    FIdleBySQL.erase(It);
    FLeased.splice(FLeased.begin(), FIdle, Entry);
    return TStatementLease(weak_from_this(), Entry);
  }
  TCachedStatement Fresh;
  Fresh.Stmt = FConn.Prepare(SQL);
  Fresh.SQL = SQL;
  Fresh.Generation = FGeneration;
  Fresh.ChangesSchema = ChangesSchema(SQL);
  FLeased.push_front(std::move(Fresh));
  return TStatementLease(weak_from_this(), FLeased.begin());
}

void TStatementCache::GiveBack(TEntryIt Entry) noexcept {
  // Outdated, schema-changing, or a second idle copy of a text: not kept.
  if (Entry->Generation != FGeneration || Entry->ChangesSchema || FIdleBySQL.contains(Entry->SQL)) {
    Destroy(Entry);
    return;
  }
  // Frees a buffered result and ends the engine's read of it (locks included).
  Entry->Stmt->Reset();
  FIdle.splice(FIdle.begin(), FLeased, Entry);
  FIdleBySQL.emplace(Entry->SQL, Entry);
  while (FIdle.size() > kCapacity) {
    FIdleBySQL.erase(FIdle.back().SQL);
    FIdle.pop_back();
  }
}

void TStatementCache::Destroy(TEntryIt Entry) noexcept { FLeased.erase(Entry); }

void TStatementCache::SchemaChanged() noexcept {
  ++FGeneration;
  FIdleBySQL.clear();
  FIdle.clear();
  FTables.clear();
}

std::shared_ptr<const std::vector<TTableColumn>> TStatementCache::TableColumns(const std::string& Table) {
  if (const auto It = FTables.find(Table); It != FTables.end()) return It->second;
  auto Columns = std::make_shared<const std::vector<TTableColumn>>(FConn.TableColumns(Table));
  // A table that does not exist (yet) is asked again next time.
  if (!Columns->empty()) FTables.emplace(Table, Columns);
  return Columns;
}

bool ChangesSchema(std::string_view SQL) noexcept {
  std::size_t I = 0;
  for (;;) {
    while (I < SQL.size() && static_cast<unsigned char>(SQL[I]) <= 32) ++I;
    if (SQL.substr(I, 2) == "--") {
      const std::size_t End = SQL.find('\n', I);
      I = End == std::string_view::npos ? SQL.size() : End;
    } else if (SQL.substr(I, 2) == "/*") {
      const std::size_t End = SQL.find("*/", I + 2);
      I = End == std::string_view::npos ? SQL.size() : End + 2;
    } else {
      break;
    }
  }
  std::size_t End = I;
  while (End < SQL.size() && std::isalpha(static_cast<unsigned char>(SQL[End]))) ++End;
  const std::string_view Word = SQL.substr(I, End - I);
  for (const char* Verb : {"CREATE", "ALTER", "DROP", "RENAME", "TRUNCATE"})
    if (SameName(Word, Verb)) return true;
  return false;
}

}  // namespace ordex::db::detail
