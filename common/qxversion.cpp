// The program's version record.
#include "common/qxversion.h"

#include <iostream>

namespace ordex {

Tqxversion::Tqxversion()
    : FVersion("2.3.17"), FCompanyName("Ordex Software"), FCopyright("(c) Ordex Software") {}

void Tqxversion::verInfo(std::ostream& Out) const {
  Out << "ProductName: " << FProductName << '\n'
      << "Version: " << FVersion << '\n'
      << "CompanyName: " << FCompanyName << '\n'
      << "Copyright: " << FCopyright << '\n';
}

void Tqxversion::verInfo() const { verInfo(std::cout); }

}  // namespace ordex
