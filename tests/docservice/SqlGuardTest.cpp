// The checker of client filter and order texts, without a database.
#include <gtest/gtest.h>

#include <string>

#include "common/qxError.h"
#include "docservice/OrdexSqlGuard.h"

namespace ordex {
namespace {

const TFileSqlGuard& Guard() {
  // "project_code" stands for a column a client added to oxFiles (known from the catalog).
  static const TFileSqlGuard G({"fileid", "filename", "size_file", "project_code"});
  return G;
}

TEST(SqlGuard, AcceptsOrdinaryConditions) {
  const char* Accepted[] = {
      "(f.filename like 'a%')",
      "(size_file > 10 and lower(fileext) in ('jpg','png'))",
      "(f.del is not null)",
      "(filename not like 'x!_%' escape '!')",
      "(size_file between 1.5 and 2e3)",
      "(size_file not between -1 and +1)",
      "(fileext not in ('exe', 'bat'))",
      "(coalesce(working_user, '') <> '') or (usercreate = 'o''neil')",
      "(not (count_history >= 2)) AND (size_file * 1024 / 2 - 1 != 0)",
      "(year(datecreate) = 2024 and month(f.datecreate) <= 6)",
      "(strftime('%Y', datecreate) = '2024')",
      "(date_format(dateupdate, '%Y-%m') = '2024-01') or (now() > datecreate)",
      "(PROJECT_CODE = 'A-1')",
      "(substr(trim(upper(filename)), 1, 3) = 'ABC')",
      "(md5_file is null)",
  };
  for (const char* F : Accepted) EXPECT_NO_THROW(Guard().CheckFilter(F)) << F;
}

TEST(SqlGuard, RefusesProbesAndForeignSyntax) {
  struct TCase {
    const char* Filter;
    const char* Said;  // part of the message
  };
  const TCase Refused[] = {
      {"(exists(select 1 from qxusers))", "exists"},
      {"(fileid in (select user_id from qxusers))", "SELECT"},
      {"(1=1) union select * from qxusers", "union"},
      {"((select count(*) from qxusers) > 0)", "SELECT"},
      {"(1=1); delete from oxFiles", ";"},
      {"(1=1) -- rest", "комментарии"},
      {"(1=1) /* c */", "комментарии"},
      {"(1=1) # c", "комментарии"},
      {"(qxusers.login = 'a')", "f.столбец"},
      {"(u.login = 'a')", "f.столбец"},
      {"(password = 'a')", "password"},
      {"(filename = 'abc)", "незакрытая кавычка"},
      {"(filename = 'a\\' or 1=1 or 'b')", "\\"},
      {"(filename = \"a\")", "кавычки"},
      {"(`filename` = 'a')", "кавычки"},
      {"(filename || 'x' = 'ax')", "|"},
      {"(sleep(5) = 0)", "sleep"},
      {"(filename = 'a'", "')'"},
      {"(filename = 'a'))", "')'"},
      {"(size_file = 0x10)", "число"},
      {"", "пустое"},
      {"(f.filename = 'a') and", "оборвано"},
  };
  for (const auto& C : Refused) {
    try {
      Guard().CheckFilter(C.Filter);
      ADD_FAILURE() << "accepted: " << C.Filter;
    } catch (const EArgumentError& E) {
      const std::string Msg = E.what();
      EXPECT_NE(Msg.find("Условие отбора файлов отклонено: "), std::string::npos) << Msg;
      EXPECT_NE(Msg.find(C.Said), std::string::npos) << C.Filter << " -> " << Msg;
    }
  }
}

TEST(SqlGuard, DeepNestingIsRefusedNotOverflowed) {
  const std::string Deep = std::string(100000, '(') + "size_file = 1" + std::string(100000, ')');
  EXPECT_THROW(Guard().CheckFilter(Deep), EArgumentError);
  const std::string Signs = "(size_file = " + std::string(20000, '-') + "1)";
  EXPECT_THROW(Guard().CheckFilter(Signs), EArgumentError);
  EXPECT_NO_THROW(Guard().CheckFilter("((((size_file = 1))))"));
}

TEST(SqlGuard, OrderLists) {
  for (const char* O : {"filename desc, f.size_file", "f.filename", "lower(filename) ASC, size_file * 2 DESC",
                        "project_code"})
    EXPECT_NO_THROW(Guard().CheckOrder(O)) << O;
  for (const char* O : {"filename, (select 1)", "filename desc desc", "filename,", ", filename",
                        "filename; drop table oxFiles", "u.login", "filename nulls last",
                        "(select login from qxusers limit 1)"})
    EXPECT_THROW(Guard().CheckOrder(O), EArgumentError) << O;
}

}  // namespace
}  // namespace ordex
