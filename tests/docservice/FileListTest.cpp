// File lists: the composed statement text, paging, counts, rights and the
// client filter and order texts.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/qxError.h"
#include "tests/docservice/DocFixture.h"

namespace ordex::test {
namespace {

using Ids = std::vector<std::string>;

class FileListTest : public DocFixture {
 protected:
  // A filter JSON for TreeID with the given extra members.
  static std::string FilterJson(const std::string& TreeID, nlohmann::json Extra = nlohmann::json::object()) {
    nlohmann::json J = {{"TreeID", TreeID}, {"CurrentPage", 0}, {"KolRows", 100}};
    J.update(Extra);
    return J.dump();
  }
  Ids FileIDs(const std::string& Json) {
    return Column(Table(ReadStream(Srv().GetFiles(Json)), "iqFiles"), "fileid");
  }
  // Two folders with files: live, deleted (1), other deleted values (2), other users.
  void SeedFiles() {
    AddFolder("t", "", "T");
    AddFolder("u", "", "U");
    AddFile("a", "t", "alpha", "txt", "bob", std::nullopt, 1.5);
    AddFile("b", "t", "beta", "jpg", "ann", 0, 2.25);
    AddFile("c", "t", "gamma", "png", "bob", 1, 10);
    AddFile("d", "t", "delta", "png", "bob", 2, 100);
    AddFile("e", "u", "eps", "txt", "bob", std::nullopt, 4);
  }
};
ORDEX_DOC_INSTANTIATE(FileListTest);

TEST_P(FileListTest, ComposedStatements) {
  AddFolder("t", "", "T");
  AddFolder("t1", "t", "T1");
  Exec("UPDATE oxTree SET ccount=1 WHERE treeid='t'");
  AddFolder("own", "", "Own");
  AddRight("own", "o'neil", std::nullopt, {.rfile = 1, .rmyfile = 1});
  AddFolder("deny", "", "Deny");

  struct TCase {
    const char* Name;
    const char* Login;
    const char* Role;
    nlohmann::json Filter;  // the client's filter JSON
    const char* Fields;
    bool IsOrder, IsBlob;
    const char* Expected;
  };
  const TCase Cases[] = {
      {"plain page", "root", "1", {{"TreeID", "t"}, {"CurrentPage", 2}, {"KolRows", 50}}, "f.*", true, true,
       "SELECT f.*\r FROM oxFiles f \rWHERE (1=1) \rand(f.treeid=:treeid) \rand((f.del is null)or(f.del=0)) \r"
       "LIMIT 100,50\r"},
      {"preview, file, deleted, filter, order", "root", "1",
       {{"TreeID", "t"}, {"FileID", "F1"}, {"IsShowDel", true}, {"KolRows", 0}, {"IsPreview", true},
        {"order", "  filename desc "}, {"filter", "(f.filename like 'a%')"}},
       "f.*, p.blob_pic ", true, true,
       "SELECT f.*, p.blob_pic \r FROM oxFiles f \r\r\rLEFT JOIN qxpreview p \rON p.idobj=f.fileid \r\r"
       "WHERE (1=1) \rand(f.fileid='F1') \rand(f.treeid=:treeid) \rand(f.del=1) \rand(f.filename like 'a%')\r"
       "ORDER BY filename desc\rLIMIT 0,0\r"},
      {"preview without blob", "root", "1", {{"TreeID", "t"}, {"IsPreview", true}, {"filter", "   "}}, "f.* ", true,
       false, "SELECT f.* \r FROM oxFiles f \rWHERE (1=1) \rand(f.treeid=:treeid) \rand((f.del is null)or(f.del=0)) \r"
              "LIMIT 0,0\r"},
      {"count over everything", "bob", "r1", {{"TreeID", "deny"}, {"IsShowAll", true}, {"order", "filename"}},
       "count(*) as cnt, sum(size_file) as totalsize\r", false, false,
       "SELECT count(*) as cnt, sum(size_file) as totalsize\r\r FROM oxFiles f \rWHERE (1=1) \r"
       "and((f.del is null)or(f.del=0)) \r"},
      {"no rights", "bob", "r1", {{"TreeID", "deny"}, {"CurrentPage", 1}, {"KolRows", 10}}, "f.*", true, true,
       "SELECT f.*\r FROM oxFiles f \rWHERE (1=1) \rand(1=0) \rand((f.del is null)or(f.del=0)) \rLIMIT 10,10\r"},
      {"own files only, quoted login and id", "o'neil", "r1", {{"TreeID", "own"}, {"FileID", "x') or ('1'='1"}}, "f.*",
       false, true,
       "SELECT f.*\r FROM oxFiles f \rWHERE (1=1) \rand(f.fileid='x'') or (''1''=''1') \rand(f.treeid=:treeid) \r"
       "and(f.usercreate='o''neil') \rand((f.del is null)or(f.del=0)) \r"},
      {"recursive", "root", "1", {{"TreeID", "t"}, {"IsRecursive", true}}, "f.*", false, true,
       "SELECT f.*\r FROM oxFiles f \rWHERE (1=1) \rand(f.treeid in ('t','t1')) \rand((f.del is null)or(f.del=0)) \r"},
      {"recursive without rights", "bob", "r1", {{"TreeID", "deny"}, {"IsRecursive", true}}, "f.*", false, true,
       "SELECT f.*\r FROM oxFiles f \rWHERE (1=1) \rand(f.treeid in ('access_denier')) \r"
       "and((f.del is null)or(f.del=0)) \r"},
  };
  for (const auto& C : Cases) {
    SetSess(C.Login, C.Role);
    EXPECT_EQ(Srv().GetSQLFiles(C.Fields, DecodeOrdexFilterJson(C.Filter.dump()), C.IsOrder, C.IsBlob), C.Expected)
        << C.Name;
  }
}

TEST_P(FileListTest, DeletedLiveAndShowAll) {
  SeedFiles();
  SetSess("root", "1");
  EXPECT_EQ(FileIDs(FilterJson("t", {{"order", "fileid"}})), (Ids{"a", "b"}));
  EXPECT_EQ(FileIDs(FilterJson("t", {{"order", "fileid"}, {"IsShowDel", true}})), Ids{"c"});
  EXPECT_EQ(FileIDs(FilterJson(" t ", {{"order", "fileid"}})), (Ids{"a", "b"}));  // folder id trimmed
  EXPECT_EQ(FileIDs(FilterJson("", {{"order", "fileid"}, {"IsShowAll", true}})), (Ids{"a", "b", "e"}));
  EXPECT_EQ(FileIDs(FilterJson("t", {{"FileID", "b"}})), Ids{"b"});
  EXPECT_EQ(FileIDs(FilterJson("t", {{"FileID", "b') or ('1'='1"}})), Ids{});
  EXPECT_EQ(Srv().OrdexFilterObj.FileID, "b') or ('1'='1");
  // A backslash escapes inside MySQL literals: it must not free the quote after it.
  EXPECT_EQ(FileIDs(FilterJson("t", {{"FileID", "b\\') or ('1'='1"}})), Ids{});
}

TEST_P(FileListTest, RightsDecideTheRows) {
  SeedFiles();
  AddRight("t", std::nullopt, "readers", {.rfile = 1});
  AddRight("t", std::nullopt, "mine", {.rfile = 1, .rmyfile = 1});
  const std::string Json = FilterJson("t", {{"order", "fileid"}});
  SetSess("bob", "readers");
  EXPECT_EQ(FileIDs(Json), (Ids{"a", "b"}));
  SetSess("bob", "mine");
  EXPECT_EQ(FileIDs(Json), Ids{"a"});
  SetSess("bob", "strangers");
  EXPECT_EQ(FileIDs(Json), Ids{});
}

TEST_P(FileListTest, PagingAndPreviewColumn) {
  AddFolder("t", "", "T");
  for (const char* Id : {"f1", "f2", "f3", "f4", "f5"}) AddFile(Id, "t", std::string("name_") + Id, "txt", "bob");
  SetSess("root", "1");
  const auto Page = [&](int No, int Rows) {
    return FileIDs(FilterJson("t", {{"order", "filename desc"}, {"CurrentPage", No}, {"KolRows", Rows}}));
  };
  EXPECT_EQ(Page(0, 2), (Ids{"f5", "f4"}));
  EXPECT_EQ(Page(1, 2), (Ids{"f3", "f2"}));
  EXPECT_EQ(Page(2, 2), Ids{"f1"});
  EXPECT_EQ(Page(0, 0), Ids{});
  EXPECT_THROW(Page(-1, 2), EArgumentError);
  EXPECT_THROW(Page(0, -1), EArgumentError);
  EXPECT_THROW(Srv().GetFiles(FilterJson("t", {{"CurrentPage", 4611686018427387904LL}, {"KolRows", 4}})),
               EArgumentError);

  const auto Plain = Table(ReadStream(Srv().GetFiles(FilterJson("t"))), "iqFiles");
  EXPECT_LT(ColumnIndex(Plain, "blob_pic"), 0);
  EXPECT_EQ(Plain.Rows.size(), 5u);
  const auto WithPic = Table(ReadStream(Srv().GetFiles(FilterJson("t", {{"IsPreview", true}}))), "iqFiles");
  EXPECT_GE(ColumnIndex(WithPic, "blob_pic"), 0);

  const auto List = Table(ReadStream(Srv().GetFileList(FilterJson("t", {{"IsPreview", true}, {"KolRows", 3}}))),
                          "iqFileList");
  EXPECT_EQ(List.Rows.size(), 3u);
  EXPECT_LT(ColumnIndex(List, "blob_pic"), 0);
}

TEST_P(FileListTest, CountAndTotalSize) {
  SeedFiles();
  SetSess("root", "1");
  std::string Total;
  EXPECT_EQ(Srv().GetKolRows(FilterJson("t", {{"KolRows", 1}}), Total), "2");
  EXPECT_EQ(Total, "3.75");
  EXPECT_EQ(Srv().GetKolRows(FilterJson("t", {{"filter", "(fileext = 'none')"}}), Total), "0");
  EXPECT_EQ(Total, "0");
  EXPECT_EQ(Srv().GetKolRows(FilterJson("empty"), Total), "0");
  EXPECT_EQ(Total, "0");
}

TEST_P(FileListTest, TotalSizeIsPlainDecimalText) {
  SetSess("root", "1");
  AddFolder("s", "", "S");
  AddFile("x1", "s", "x1", "txt", "bob", std::nullopt, 0.1);
  AddFile("x2", "s", "x2", "txt", "bob", std::nullopt, 0.2);
  std::string Total;
  EXPECT_EQ(Srv().GetKolRows(FilterJson("s"), Total), "2");
  EXPECT_EQ(Total, "0.3");  // not the binary sum's 0.30000000000000004
  AddFile("x3", "s", "x3", "bin", "bob", std::nullopt, 1048576);
  EXPECT_EQ(Srv().GetKolRows(FilterJson("s"), Total), "3");
  EXPECT_EQ(Total, "1048576.3");  // no exponent
}

TEST_P(FileListTest, RefreshAndExcludedFiles) {
  SeedFiles();
  SetSess("root", "1");
  // Before any GetFiles: the initial statement with a blank folder.
  EXPECT_TRUE(Table(ReadStream(Srv().RefreshFiles()), "iqFiles").Rows.empty());
  Srv().GetFiles(FilterJson("t", {{"order", "fileid"}}));
  AddFile("a2", "t", "alpha2", "txt", "bob");
  EXPECT_EQ(Column(Table(ReadStream(Srv().RefreshFiles()), "iqFiles"), "fileid"), (Ids{"a", "a2", "b"}));
  EXPECT_EQ(Srv().iqFiles.ParamByName("TREEID").AsString(), "t");

  Exec("INSERT INTO oxTabuFiles (filename, fileext) VALUES ('thumbs', 'db')");
  const auto Tabu = Table(ReadStream(Srv().GetExludeFiles()), "iqTabuFiles");
  EXPECT_EQ(Column(Tabu, "fileext"), Ids{"db"});
}

TEST_P(FileListTest, ClientFilterAndOrderTexts) {
  SeedFiles();
  SeedUser("bob", "secret", "r1", "Readers");
  SetSess("root", "1");
  EXPECT_EQ(FileIDs(FilterJson("t", {{"filter", "(f.filename like 'a%')"}})), Ids{"a"});
  EXPECT_EQ(FileIDs(FilterJson("t", {{"filter", "(size_file > 2 and lower(fileext) in ('jpg','png'))"}})), Ids{"b"});
  EXPECT_EQ(FileIDs(FilterJson("t", {{"order", "filename desc, f.size_file"}})), (Ids{"b", "a"}));

  for (const char* Probe : {"(exists(select 1 from qxusers))", "(1=1) union select * from qxusers",
                            "(fileid in (select login from qxusers))", "(1=1);delete from oxFiles"}) {
    EXPECT_THROW(Srv().GetFiles(FilterJson("t", {{"filter", Probe}})), EArgumentError) << Probe;
    std::string Total;
    EXPECT_THROW(Srv().GetKolRows(FilterJson("t", {{"filter", Probe}}), Total), EArgumentError) << Probe;
  }
  EXPECT_THROW(Srv().GetFiles(FilterJson("t", {{"order", "(select login from qxusers)"}})), EArgumentError);
  EXPECT_EQ(Scalar("SELECT count(*) FROM oxFiles"), "5");
}

}  // namespace
}  // namespace ordex::test
