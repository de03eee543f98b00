// Helpers of the configuration tests: a temporary folder, and a root object
// installed as the global one with the program placed in a folder of the test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/qxBase.h"
#include "config/qxroot.h"

namespace ordex::test {

// A fresh folder under the system's temporary folder, removed with its contents.
class TTempDir {
 public:
  TTempDir() {
    std::string Pattern = (std::filesystem::temp_directory_path() / "ordex-config-XXXXXX").string();
    if (::mkdtemp(Pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FPath = Pattern;
  }
  ~TTempDir() {
    std::error_code Ignored;
    std::filesystem::remove_all(FPath, Ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const noexcept { return FPath; }
  std::string operator/(const std::string& Name) const { return FPath + "/" + Name; }

 private:
  std::string FPath;
};

inline void WriteTextFile(const std::string& Path, const std::string& Text) {
  std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
  std::ofstream(Path, std::ios::binary) << Text;
}

inline std::string ReadTextFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

// The program "lives" at <temp>/<ProgramRelPath>; the root object is the global one.
class TRootFixture {
 public:
  explicit TRootFixture(const std::string& ProgramRelPath = "bin/OrdexServer") {
    const std::string Program = Dir / ProgramRelPath;
    std::filesystem::create_directories(std::filesystem::path(Program).parent_path());
    SetAppFileNameForTesting(Program);
    SetQxroot(&Root);
  }
  ~TRootFixture() {
    SetQxroot(nullptr);
    SetAppFileNameForTesting({});
  }
  TTempDir Dir;
  Tqxroot Root;
};

}  // namespace ordex::test
