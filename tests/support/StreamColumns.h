// A column description for hand-built dataset streams in tests: an oxFiles
// column of the given type (text columns 75 characters long).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/db/DataStream.h"

namespace ordex::test {

inline db::TStreamColumn Col(std::string Name, db::TFieldType Type, std::uint8_t Flags = db::cfNullable) {
  db::TStreamColumn C;
  C.Name = std::move(Name);
  C.Type = Type;
  C.Flags = Flags;
  C.Size = Type == db::TFieldType::Text ? 75 : 0;
  C.OriginTable = "oxFiles";
  C.OriginColumn = C.Name;
  return C;
}

}  // namespace ordex::test
