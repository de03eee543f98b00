// The program's own name, version and maker.
#pragma once

#include <iosfwd>
#include <string>

namespace ordex {

class Tqxversion {
 public:
  Tqxversion();
  const std::string& Version() const noexcept { return FVersion; }
  const std::string& CompanyName() const noexcept { return FCompanyName; }
  const std::string& Copyright() const noexcept { return FCopyright; }
  const std::string& ProductName() const noexcept { return FProductName; }
  const std::string& PoductCode() const noexcept { return FPoductCode; }
  const std::string& ProductType() const noexcept { return FProductType; }
  void SetVersion(std::string V) { FVersion = std::move(V); }
  void SetCompanyName(std::string V) { FCompanyName = std::move(V); }
  void SetCopyright(std::string V) { FCopyright = std::move(V); }
  void SetProductName(std::string V) { FProductName = std::move(V); }
  void SetPoductCode(std::string V) { FPoductCode = std::move(V); }
  void SetProductType(std::string V) { FProductType = std::move(V); }

  // Writes ProductName, Version, CompanyName and Copyright lines.
  void verInfo(std::ostream& Out) const;
  void verInfo() const;  // to standard output

 private:
  std::string FVersion;
  std::string FCompanyName;
  std::string FCopyright;
  std::string FProductName;
  std::string FPoductCode;
  std::string FProductType;
};

}  // namespace ordex
