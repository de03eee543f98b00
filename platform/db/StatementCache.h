// Prepared statements and catalog descriptions kept per open connection
// (internal to the access layer). A statement is checked out by one user at a
// time through a lease and comes back to the cache when the lease ends; the
// cache keeps the most recently used idle statements, keyed by engine SQL text.
// Closing the connection destroys the cache and every statement it prepared,
// also those still leased: such leases become empty and are simply dropped.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/db/DbDriver.h"

namespace ordex::db::detail {

class TStatementCache;

// One prepared statement of a cache.
struct TCachedStatement {
  std::string SQL;                   // engine text, the cache key
  std::unique_ptr<IStatement> Stmt;
  std::uint64_t Generation = 0;      // schema generation it was prepared in
  bool ChangesSchema = false;        // CREATE/ALTER/DROP/...: never kept idle
};

// A statement checked out of a cache; gives it back when it ends. Empty after
// a move, after Discard, and once the connection that made it was closed.
class TStatementLease {
 public:
  TStatementLease() = default;
  TStatementLease(TStatementLease&& Other) noexcept;
  TStatementLease& operator=(TStatementLease&& Other) noexcept;
  TStatementLease(const TStatementLease&) = delete;
  TStatementLease& operator=(const TStatementLease&) = delete;
  ~TStatementLease() { Release(); }

  // True while it holds a statement of a still-open connection.
  explicit operator bool() const noexcept { return !FCache.expired(); }
  // True when it holds a statement of Cache for exactly this SQL text, prepared
  // after the last schema change seen on that connection.
  bool Fits(const TStatementCache& Cache, std::string_view SQL) const noexcept;
  // The statement; only while the lease is not empty.
  IStatement& operator*() const noexcept { return *FEntry->Stmt; }
  IStatement* operator->() const noexcept { return FEntry->Stmt.get(); }

  // Binds Args and runs the statement. A failure destroys the statement (it is
  // not reused) and rethrows; a statement that changes the schema empties the
  // cache's idle statements and catalog afterwards.
  void Execute(const std::vector<TValue>& Args);

  // Gives the statement back to its cache (reset, ready for another user).
  void Release() noexcept;
  // Destroys the statement instead of giving it back.
  void Discard() noexcept;

 private:
  friend class TStatementCache;
  using TEntryIt = std::list<TCachedStatement>::iterator;
  TStatementLease(std::weak_ptr<TStatementCache> Cache, TEntryIt Entry) noexcept
      : FCache(std::move(Cache)), FEntry(Entry) {}
  std::weak_ptr<TStatementCache> FCache;
  TEntryIt FEntry{};
};

class TStatementCache : public std::enable_shared_from_this<TStatementCache> {
 public:
  // Idle statements kept per connection.
  static constexpr std::size_t kCapacity = 64;

  // Conn must outlive the cache.
  explicit TStatementCache(IConnection& Conn) noexcept : FConn(Conn) {}
  TStatementCache(const TStatementCache&) = delete;
  TStatementCache& operator=(const TStatementCache&) = delete;

  IConnection& Engine() const noexcept { return FConn; }

  // An idle statement of this text, or a newly prepared one (EDatabaseError
  // when the engine refuses it). It stays checked out until the lease ends.
  TStatementLease Acquire(const std::string& SQL);

  // The catalog's description of a table (as IConnection::TableColumns), read
  // once per table name and connection; empty when there is no such table.
  std::shared_ptr<const std::vector<TTableColumn>> TableColumns(const std::string& Table);

  // Forgets idle statements and table descriptions, and marks leased
  // statements as outdated: the schema may have changed.
  void SchemaChanged() noexcept;

  std::uint64_t Generation() const noexcept { return FGeneration; }
  std::size_t IdleCount() const noexcept { return FIdle.size(); }
  std::size_t LeasedCount() const noexcept { return FLeased.size(); }

 private:
  friend class TStatementLease;
  using TEntryIt = std::list<TCachedStatement>::iterator;
  void GiveBack(TEntryIt Entry) noexcept;
  void Destroy(TEntryIt Entry) noexcept;

  IConnection& FConn;
  std::uint64_t FGeneration = 0;
  std::list<TCachedStatement> FIdle;    // most recently used first
  std::list<TCachedStatement> FLeased;  // checked out
  std::unordered_map<std::string_view, TEntryIt> FIdleBySQL;  // keys view the entries' SQL
  std::unordered_map<std::string, std::shared_ptr<const std::vector<TTableColumn>>> FTables;
};

// True for statements that change table descriptions (CREATE, ALTER, DROP,
// RENAME, TRUNCATE), after leading blanks and comments.
bool ChangesSchema(std::string_view SQL) noexcept;

}  // namespace ordex::db::detail
