// Checks the raw condition and ordering texts that clients add to file-list
// statements. They stay SQL fragments, but only a small expression language
// over the columns of oxFiles gets through: literals, comparisons, LIKE, IN
// lists, IS NULL, BETWEEN, AND/OR/NOT, arithmetic, parentheses and a short list
// of scalar functions. Subqueries, other tables, comments, statement separators
// and anything the checker does not know are refused before the text reaches
// the database, so a filter can never read or change other tables.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ordex {

class TFileSqlGuard {
 public:
  // Columns: the column names of oxFiles (compared without letter case); the
  // well-known columns of the table are always allowed as well.
  explicit TFileSqlGuard(const std::vector<std::string>& Columns);

  // Accepts a condition (as appended after "and"); throws EArgumentError
  // saying what was refused.
  void CheckFilter(std::string_view Filter) const;
  // Accepts an ORDER BY list: expressions of columns with ASC/DESC, separated
  // by commas; throws EArgumentError saying what was refused.
  void CheckOrder(std::string_view Order) const;

 private:
  std::set<std::string> FColumns;  // lower case
};

}  // namespace ordex
