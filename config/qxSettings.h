// Settings trees and the settings file. A settings tree is a nested map of named
// texts, written as a JSON object; the settings file is an INI file whose values
// are such JSON texts ("App", "ConnectionSettings", "FormSettings" sections).
// All users of the file go through this unit so they share one file.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace ordex {

class TSettingsTree {
 public:
  // Parses a JSON object; a text that is not a JSON object gives an empty tree.
  // Members that are neither strings nor objects are ignored.
  static TSettingsTree FromJSON(std::string_view Text);
  std::string ToJSON() const;

  bool HasValue(std::string_view Name) const;
  bool HasTree(std::string_view Name) const;
  // The text value, or "" when absent.
  std::string Value(std::string_view Name) const;
  void SetValue(std::string Name, std::string Value);
  // The sub-tree, or nullptr when absent.
  const TSettingsTree* Tree(std::string_view Name) const;
  // The sub-tree, created when absent (replacing a text of that name).
  TSettingsTree& AddTree(std::string Name);
  void SetTree(std::string Name, TSettingsTree Tree);
  bool Empty() const noexcept { return FItems.empty(); }

 private:
  using TItem = std::variant<std::string, std::shared_ptr<TSettingsTree>>;
  std::map<std::string, TItem, std::less<>> FItems;
};

// The settings file, read and written with SimpleIni. Every call opens the file
// anew so that several users of it never overwrite each other's sections.
class TSettingsFile {
 public:
  explicit TSettingsFile(std::string Path) : FPath(std::move(Path)) {}
  const std::string& Path() const noexcept { return FPath; }
  // The value of Section/Key, or "" when the file, section or key is missing.
  std::string Read(std::string_view Section, std::string_view Key) const;
  // Writes Section/Key, creating the file and section as needed; throws EFileError
  // (EArgumentError for a section, key or value that would not stay one INI line).
  void Write(std::string_view Section, std::string_view Key, std::string_view Value) const;

 private:
  std::string FPath;
};

// The settings file of this program: IniFileName(), shared by the root object,
// the connection settings and the window settings.
TSettingsFile ProgramSettingsFile();

}  // namespace ordex
