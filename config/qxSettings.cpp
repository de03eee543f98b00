// Settings trees (JSON objects) and the INI settings file.
#include "config/qxSettings.h"

// UTF-8 in, UTF-8 out: the narrow interface needs no conversion library.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION  // the packaged header keeps its template bodies behind this
#include <SimpleIni.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>

#include "common/qxBase.h"
#include "common/qxError.h"

namespace ordex {

namespace {

using json = nlohmann::json;

// Nesting beyond this depth in a settings text is ignored; real settings are
// two or three levels deep.
constexpr int MaxTreeDepth = 64;

TSettingsTree TreeFromObject(const json& Object, int Depth) {
  TSettingsTree Tree;
  for (const auto& [Name, Value] : Object.items()) {
    if (Value.is_string())
      Tree.SetValue(Name, Value.get<std::string>());
    else if (Value.is_object() && Depth < MaxTreeDepth)
      Tree.SetTree(Name, TreeFromObject(Value, Depth + 1));
  }
  return Tree;
}

// Owns one file descriptor.
class TFd {
 public:
  explicit TFd(int Fd) noexcept : FFd(Fd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const noexcept { return FFd; }
  // Closes now, reporting the result (a failed close can lose written data).
  bool Close() noexcept {
    const int Fd = FFd;
    FFd = -1;
    return Fd < 0 || ::close(Fd) == 0;
  }

 private:
  int FFd;
};

[[noreturn]] void ThrowFileError(const std::string& What, const std::string& Path, int Err) {
  throw EFileError(What + " '" + Path + "': " + std::strerror(Err));
}

// Replaces Path by Content through a temporary file in the same folder and a
// rename, so that a crash leaves either the old file or the new one. An existing
// file keeps its permissions; a new one is readable by its owner only, since it
// may hold database passwords.
void WriteFileAtomically(const std::string& Path, const std::string& Content) {
  std::string Temp = Path + ".XXXXXX";
  TFd Fd(::mkstemp(Temp.data()));
  if (Fd.Get() < 0) ThrowFileError("Cannot create a temporary file for", Path, errno);
  bool Done = false;
  struct TRemoveTemp {
    const std::string& Name;
    const bool& Done;
    ~TRemoveTemp() {
      if (!Done) ::unlink(Name.c_str());
    }
  } RemoveTemp{Temp, Done};

  struct stat Old {};
  if (::stat(Path.c_str(), &Old) == 0) ::fchmod(Fd.Get(), Old.st_mode & 07777);
  for (std::size_t Written = 0; Written < Content.size();) {
    const ssize_t N = ::write(Fd.Get(), Content.data() + Written, Content.size() - Written);
    if (N < 0) {
      if (errno == EINTR) continue;
      ThrowFileError("Cannot write", Temp, errno);
    }
    Written += static_cast<std::size_t>(N);
  }
  if (::fsync(Fd.Get()) != 0) ThrowFileError("Cannot write", Temp, errno);
  if (!Fd.Close()) ThrowFileError("Cannot write", Temp, errno);
  if (::rename(Temp.c_str(), Path.c_str()) != 0) ThrowFileError("Cannot replace", Path, errno);
  Done = true;
}

bool IsSingleLine(std::string_view Text) noexcept {
  return Text.find_first_of("\r\n") == std::string_view::npos;
}

// Serialises the read-modify-write of settings files within the process, so
// that two writers of different sections never lose each other's change.
std::mutex& SettingsWriteLock() {
  static std::mutex Lock;
  return Lock;
}

}  // namespace

// ---------------------------------------------------------------------------
// TSettingsTree

TSettingsTree TSettingsTree::FromJSON(std::string_view Text) {
  const json Parsed = json::parse(Text.begin(), Text.end(), nullptr, /*allow_exceptions=*/false);
  if (!Parsed.is_object()) return {};
  return TreeFromObject(Parsed, 0);
}

std::string TSettingsTree::ToJSON() const {
  // Builds the JSON value level by level.
  struct TBuilder {
    static json Build(const TSettingsTree& Tree) {
      json Object = json::object();
      for (const auto& [Name, Item] : Tree.FItems) {
        if (const auto* Text = std::get_if<std::string>(&Item))
          Object[Name] = *Text;
        else
          Object[Name] = Build(*std::get<std::shared_ptr<TSettingsTree>>(Item));
      }
      return Object;
    }
  };
  return TBuilder::Build(*this).dump(-1, ' ', false, json::error_handler_t::replace);
}

bool TSettingsTree::HasValue(std::string_view Name) const {
  const auto It = FItems.find(Name);
  return It != FItems.end() && std::holds_alternative<std::string>(It->second);
}

bool TSettingsTree::HasTree(std::string_view Name) const { return Tree(Name) != nullptr; }

std::string TSettingsTree::Value(std::string_view Name) const {
  const auto It = FItems.find(Name);
  if (It == FItems.end()) return {};
  const auto* Text = std::get_if<std::string>(&It->second);
  return Text ? *Text : std::string();
}

void TSettingsTree::SetValue(std::string Name, std::string Value) { FItems[std::move(Name)] = std::move(Value); }

const TSettingsTree* TSettingsTree::Tree(std::string_view Name) const {
  const auto It = FItems.find(Name);
  if (It == FItems.end()) return nullptr;
  const auto* Sub = std::get_if<std::shared_ptr<TSettingsTree>>(&It->second);
  return Sub ? Sub->get() : nullptr;
}

TSettingsTree& TSettingsTree::AddTree(std::string Name) {
  TItem& Item = FItems[std::move(Name)];
  auto* Sub = std::get_if<std::shared_ptr<TSettingsTree>>(&Item);
  if (!Sub || !*Sub) {
    Item = std::make_shared<TSettingsTree>();
    Sub = std::get_if<std::shared_ptr<TSettingsTree>>(&Item);
  }
  return **Sub;
}

void TSettingsTree::SetTree(std::string Name, TSettingsTree Tree) {
  FItems[std::move(Name)] = std::make_shared<TSettingsTree>(std::move(Tree));
}

// ---------------------------------------------------------------------------
// TSettingsFile

namespace {

// Loads the INI text of a regular file. The file is read here rather than by
// the INI parser, which takes the size of whatever it opened at face value (a
// folder in the file's place reports a nonsense size). False when the file is
// missing, is not a regular file, or cannot be read or parsed.
bool LoadIniFile(CSimpleIniA& Ini, const std::string& Path) {
  std::error_code Ec;
  if (!std::filesystem::is_regular_file(Path, Ec)) return false;
  std::ifstream In(Path, std::ios::binary);
  if (!In) return false;
  const std::string Content((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  if (In.bad()) return false;
  return Ini.LoadData(Content) >= 0;
}

}  // namespace

std::string TSettingsFile::Read(std::string_view Section, std::string_view Key) const {
  CSimpleIniA Ini;
  Ini.SetUnicode(true);
  if (!LoadIniFile(Ini, FPath)) return {};
  const char* Value = Ini.GetValue(std::string(Section).c_str(), std::string(Key).c_str(), nullptr);
  return Value ? Value : std::string();
}

void TSettingsFile::Write(std::string_view Section, std::string_view Key, std::string_view Value) const {
  // A line break would end the entry early and turn the rest into other entries.
  if (!IsSingleLine(Section) || !IsSingleLine(Key) || !IsSingleLine(Value) ||
      Section.find(']') != std::string_view::npos || Key.find('=') != std::string_view::npos ||
      Trim(Section).empty() || Trim(Key).empty())
    throw EArgumentError("Invalid settings entry [" + std::string(Section) + "] " + std::string(Key));

  std::lock_guard Guard(SettingsWriteLock());
  CSimpleIniA Ini;
  Ini.SetUnicode(true);
  std::error_code Ec;
  if (std::filesystem::exists(FPath, Ec)) {
    // Never replace a file we could not read: its other sections would be lost.
    if (!LoadIniFile(Ini, FPath)) throw EFileError("Cannot read the settings file '" + FPath + "'");
  }
  if (Ini.SetValue(std::string(Section).c_str(), std::string(Key).c_str(), std::string(Value).c_str()) < 0)
    throw EFileError("Cannot set the settings entry in '" + FPath + "'");
  std::string Content;
  if (Ini.Save(Content) < 0) throw EFileError("Cannot write the settings file '" + FPath + "'");
  WriteFileAtomically(FPath, Content);
}

TSettingsFile ProgramSettingsFile() { return TSettingsFile(IniFileName()); }

}  // namespace ordex
