// A working day with the real "ordex" program against a real ordexd, on every
// test database kind and over both transports: an administrator builds
// folders, a role, a user and rights; the user browses by those rights,
// uploads a picture and a second version, lists, reads the history, downloads
// in ranges with verification, meets a refused post and a tampered content.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include <nlohmann/json.hpp>

#include "common/qxBase.h"
#include "tests/e2e/E2eSupport.h"

namespace ordex::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct TParam {
  std::string Kind;
  bool Http;
};

void PrintTo(const TParam& P, std::ostream* Out) { *Out << P.Kind << (P.Http ? " over HTTP" : " over TCP"); }

std::string Name(const ::testing::TestParamInfo<TParam>& I) { return I.param.Kind + (I.param.Http ? "Http" : "Tcp"); }

std::vector<TParam> Params() {
  std::vector<TParam> L;
  for (const auto& K : test::TestKinds()) {
    L.push_back({K, false});
    L.push_back({K, true});
  }
  return L;
}

class UserDay : public ::testing::TestWithParam<TParam> {
 protected:
  void SetUp() override { Server = std::make_unique<TServer>(GetParam().Kind); }

  // Runs ordex as User with the connection options of this test.
  TRun As(const std::string& User, const std::string& Password, std::vector<std::string> Args,
          std::map<std::string, std::string> Env = {}) {
    std::vector<std::string> Full{"--user", User};
    if (GetParam().Http) Full.insert(Full.end(), {"--http", "--port", std::to_string(Server->HttpPort())});
    else Full.insert(Full.end(), {"--port", std::to_string(Server->TcpPort())});
    Full.insert(Full.end(), Args.begin(), Args.end());
    Env["ORDEX_PASSWORD"] = Password;
    return RunOrdex(Full, Env);
  }
  TRun Admin(std::vector<std::string> Args, std::map<std::string, std::string> Env = {}) {
    return As(kAdmin, kAdminPassword, std::move(Args), std::move(Env));
  }
  TRun Ivan(std::vector<std::string> Args) { return As("ivan", "ivan-pw", std::move(Args)); }

  // Runs and expects exit code 0 and a JSON document on stdout.
  static json Ok(const TRun& R) {
    EXPECT_EQ(R.Code, 0) << R.Err;
    const json J = json::parse(R.Out, nullptr, false);
    EXPECT_FALSE(J.is_discarded()) << R.Out;
    return J;
  }

  // The ids of the folders in a tree listing, at any depth.
  static std::set<std::string> Ids(const json& Folders) {
    std::set<std::string> S;
    for (const auto& F : Folders) {
      S.insert(F["treeid"].get<std::string>());
      const auto Below = Ids(F["children"]);
      S.insert(Below.begin(), Below.end());
    }
    return S;
  }

  std::unique_ptr<TServer> Server;
  TTempDir Local;
};

TEST_P(UserDay, AdministratorSetsUpAndUserWorks) {
  // --- The administrator builds the folders, the role, the user and the rights.
  Ok(Admin({"mkdir", "0", "Проекты", "--id", "proj", "--json"}));
  Ok(Admin({"mkdir", "proj", "Sub", "--id", "sub", "--json"}));
  Ok(Admin({"mkdir", "0", "Secret", "--id", "secret", "--json"}));
  if (GetParam().Kind == "SQLite") {
    Ok(Admin({"roles", "add", "Staff", "--id", "staff", "--json"}));
  } else {
    // Role edits address the database qxordex by name; the test database has another.
    Server->Exec("INSERT INTO qxroles (roleid, rolename, active, pubrole, order_roles) VALUES ('staff', 'Staff', 1, 0, 2)");
  }
  const json Roles = Ok(Admin({"roles", "--json"}));
  EXPECT_NE(Roles.dump().find("\"staff\""), std::string::npos);
  Ok(Admin({"users", "add", "ivan", "--role", "staff", "--name", "Иван", "--json"}, {{"ORDEX_NEW_PASSWORD", "ivan-pw"}}));
  const json Users = Ok(Admin({"users", "--json"}));
  EXPECT_EQ(Users.dump().find("password"), std::string::npos) << "password digests are never shown";
  const json Set = Ok(Admin({"rights", "set", "proj", "--role", "staff", "--rfile", "--wfile", "--json"}));
  EXPECT_TRUE(Set["created"].get<bool>());
  EXPECT_TRUE(Set["rtree"].get<bool>());

  // The folder's counter of rights rows follows the rows: it is what the server trusts.
  const json AdminTree = Ok(Admin({"tree", "--json"}));
  for (const auto& F : AdminTree["folders"])
    EXPECT_EQ(F["kolrights"].get<int>(), F["treeid"] == "proj" ? 1 : 0) << F.dump();

  // --- The user sees what the rights give, and may change only what they allow.
  const json Tree = Ok(Ivan({"tree", "--json"}));
  EXPECT_EQ(Ids(Tree["folders"]), (std::set<std::string>{"proj", "sub"}));
  const TRun NoAdm = Ivan({"rights", "set", "proj", "--user", "ivan", "--admtree"});
  EXPECT_EQ(NoAdm.Code, 1);
  EXPECT_NE(NoAdm.Err.find("admtree"), std::string::npos) << NoAdm.Err;
  EXPECT_EQ(Ivan({"rm", "sub"}).Code, 1) << "deleting needs wtree";

  // --- A picture, its preview, and a second version.
  const std::string Pic1 = MakeJpeg(300, 200, 1), Pic2 = MakeJpeg(320, 240, 2);
  WriteFile(Local / "photo.jpg", Pic1);
  WriteFile(Local / "photo2.jpg", Pic2);
  const json Put1 = Ok(Ivan({"put", "proj", Local / "photo.jpg", "--json"}));
  const std::string FileID = Put1["fileid"];
  EXPECT_EQ(Put1["md5"], MD5OfBytes(Pic1));
  EXPECT_EQ(FileID.size(), 32u);

  const json Ls = Ok(Ivan({"ls", "proj", "--preview", "--json"}));
  ASSERT_EQ(Ls["files"].size(), 1u) << Ls.dump();
  EXPECT_EQ(Ls["total"], 1);
  EXPECT_EQ(Ls["files"][0]["filename"], "photo");
  EXPECT_EQ(Ls["files"][0]["fileext"], "jpg");
  EXPECT_EQ(Ls["files"][0]["user"], "ivan");
  ASSERT_TRUE(Ls["files"][0]["preview"].is_object()) << "a JPEG gets a preview";
  EXPECT_GT(Ls["files"][0]["preview"]["bytes"].get<int>(), 100);
  const TRun LsText = Ivan({"ls", "proj", "--preview"});
  EXPECT_NE(LsText.Out.find("photo.jpg"), std::string::npos) << LsText.Out;

  const json Put2 = Ok(Ivan({"put", "proj", Local / "photo2.jpg", "--file", FileID, "--json"}));
  EXPECT_FALSE(Put2["new_file"].get<bool>());
  const json History = Ok(Ivan({"history", FileID, "--json"}));
  ASSERT_EQ(History["versions"].size(), 2u);
  EXPECT_EQ(History["versions"][0]["histid"], Put2["histid"]) << "newest first";
  EXPECT_EQ(History["versions"][0]["md5"], MD5OfBytes(Pic2));
  EXPECT_EQ(History["versions"][1]["histid"], Put1["histid"]);

  // --- Download in many small ranges, verified against the file row.
  const json Got = Ok(Ivan({"get", FileID, "-o", Local / "back.jpg", "--chunk", "1000", "--json"}));
  EXPECT_TRUE(Got["verified"].get<bool>());
  EXPECT_EQ(ReadFile(Local / "back.jpg"), Pic2);
  EXPECT_NE(Ivan({"get", FileID, "-o", Local / "back.jpg"}).Code, 0) << "an existing file is not replaced";

  // --- A refused post shows the server's error report.
  WriteFile(Local / "other.txt", "other");
  const TRun Dup = Ivan({"put", "proj", Local / "other.txt", "--id", FileID, "--json"});
  EXPECT_EQ(Dup.Code, 1) << Dup.Err;
  const json DupJson = json::parse(Dup.Out, nullptr, false);
  ASSERT_TRUE(DupJson.is_object()) << Dup.Out;
  ASSERT_FALSE(DupJson["error"]["errors"].empty()) << Dup.Out;
  EXPECT_EQ(DupJson["error"]["errors"][0]["DataSource"], "iqFileList");
  EXPECT_NE(Dup.Err.find("fileid: '' -> '" + FileID + "'"), std::string::npos) << Dup.Err;
  EXPECT_EQ(Ok(Ivan({"history", FileID, "--json"}))["versions"].size(), 2u) << "the existing file is untouched";

  // --- Folders deleted and restored.
  Ok(Admin({"rm", "sub", "--json"}));
  EXPECT_EQ(Ids(Ok(Ivan({"tree", "--json"}))["folders"]), (std::set<std::string>{"proj"}));
  const json Deleted = Ok(Admin({"tree", "proj", "--deleted", "--json"}));
  ASSERT_EQ(Deleted["folders"].size(), 1u);
  EXPECT_EQ(Deleted["folders"][0]["del"], 1);
  Ok(Admin({"restore", "sub", "--json"}));
  EXPECT_EQ(Ids(Ok(Ivan({"tree", "--json"}))["folders"]), (std::set<std::string>{"proj", "sub"}));

  // --- A stored content that was altered on the server's disk is not accepted.
  std::string Stored;
  for (const auto& E : fs::recursive_directory_iterator(Server->FilesDir()))
    if (E.path().filename() == Put2["histid"].get<std::string>()) Stored = E.path().string();
  ASSERT_FALSE(Stored.empty());
  std::string Bytes = ReadFile(Stored);
  Bytes[Bytes.size() / 2] ^= 0x55;
  WriteFile(Stored, Bytes);
  const TRun Bad = Ivan({"get", FileID, "-o", Local / "bad.jpg"});
  EXPECT_EQ(Bad.Code, 4) << Bad.Err;
  EXPECT_FALSE(fs::exists(Local / "bad.jpg"));
  EXPECT_FALSE(fs::exists(Local / "bad.jpg.part")) << "a content that failed is not resumed";

  // --- Removing the rights row takes the folder away again.
  Ok(Admin({"rights", "del", "proj", "--role", "staff", "--json"}));
  EXPECT_TRUE(Ok(Ivan({"tree", "--json"}))["folders"].empty());
  EXPECT_EQ(Ok(Admin({"tree", "--json"}))["folders"][0]["kolrights"], 0);

  // --- A new password: the old one stops working.
  Ok(Admin({"users", "passwd", "ivan", "--json"}, {{"ORDEX_NEW_PASSWORD", "ivan-pw2"}}));
  EXPECT_EQ(Ivan({"tree"}).Code, 3);
  EXPECT_EQ(As("ivan", "ivan-pw2", {"tree"}).Code, 0);
}

TEST_P(UserDay, RefusedLoginsAndConnections) {
  const TRun Wrong = As("ivan", "nope", {"tree"});
  EXPECT_EQ(Wrong.Code, 3) << Wrong.Err;
  EXPECT_EQ(Wrong.Err.find("nope"), std::string::npos) << "the password is never shown";
  EXPECT_EQ(As(kAdmin, "not-the-password", {"tree"}).Code, 3);
}

INSTANTIATE_TEST_SUITE_P(E2e, UserDay, ::testing::ValuesIn(Params()), Name);

// HTTPS: the server's certificate must be trusted (--ca-file) and name the host.
TEST(OrdexHttps, TrustsOnlyTheGivenCertificate) {
  const TServer Server("SQLite", true);
  const auto Run = [&](std::vector<std::string> Extra) {
    std::vector<std::string> Args{"--https", "--port", std::to_string(Server.HttpPort())};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    return RunOrdex(Args, {{"ORDEX_PASSWORD", kAdminPassword}});
  };
  const TRun Trusted = Run({"--ca-file", Server.CertFile(), "mkdir", "0", "Secure", "--id", "sec"});
  EXPECT_EQ(Trusted.Code, 0) << Trusted.Err;
  const TRun ByName = Run({"--host", "localhost", "--ca-file", Server.CertFile(), "tree"});
  EXPECT_EQ(ByName.Code, 0) << ByName.Err;
  EXPECT_NE(ByName.Out.find("[sec]"), std::string::npos) << ByName.Out;
  const TRun Untrusted = Run({"tree"});
  EXPECT_EQ(Untrusted.Code, 3) << "a self-signed certificate is not trusted by default";
  EXPECT_NE(Untrusted.Err.find("certificate"), std::string::npos) << Untrusted.Err;
}

// Exit codes that need no server.
TEST(OrdexCommandLine, UsageAndConnectionFailures) {
  struct TCase {
    std::vector<std::string> Args;
    int Code;
  };
  const TCase Cases[] = {
      {{}, 2},
      {{"frobnicate"}, 2},
      {{"--port", "0", "tree"}, 2},
      {{"ls"}, 2},                               // no folder and no --all
      {{"mkdir", "0"}, 2},                       // a name is missing
      {{"rights", "set", "f", "--rfile"}, 2},    // neither --user nor --role
      {{"ls", "f", "--rows", "many"}, 2},
      {{"--insecure", "tree"}, 2},               // TLS options without --https
      {{"put", "f", "/nonexistent/file"}, 2},
      {{"--help"}, 0},
      {{"put", "--help"}, 0},
      {{"--port", "1", "tree"}, 3},              // nothing listens there
  };
  for (const auto& C : Cases) {
    const TRun R = RunOrdex(C.Args, {{"ORDEX_PASSWORD", "x"}});
    std::string Line;
    for (const auto& A : C.Args) Line += A + " ";
    EXPECT_EQ(R.Code, C.Code) << Line << "\n" << R.Err;
  }
}

}  // namespace
}  // namespace ordex::e2e
