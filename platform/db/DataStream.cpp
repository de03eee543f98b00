#include "platform/db/DataStream.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "common/qxError.h"
#include "platform/db/ValueText.h"

namespace ordex::db {

namespace {

constexpr char kMagic[4] = {'O', 'D', 'S', '1'};
constexpr std::uint8_t kKnownFlags = cfNullable | cfKey | cfReadOnly | cfAutoInc;
// Smallest encodings, used to bound counts by the bytes that remain.
constexpr std::size_t kMinTableBytes = 4 + 4 + 4;             // name, columns, rows
constexpr std::size_t kMinColumnBytes = 4 + 1 + 1 + 4 + 4 + 4;  // name, type, flags, size, origins
// Date-times from 0001-01-01 to 9999-12-31 23:59:59.999.
constexpr double kMinDateTime = -693594.0;
constexpr double kMaxDateTime = 2958466.0;

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);

bool ValidType(std::uint8_t T) noexcept { return T >= 1 && T <= 8; }

using detail::IsPlainDecimal;

bool ValidDateTime(double V) noexcept { return std::isfinite(V) && V >= kMinDateTime && V < kMaxDateTime; }

const char* TypeName(TFieldType Type) noexcept {
  switch (Type) {
    case TFieldType::Text: return "text";
    case TFieldType::Int32: return "32-bit integer";
    case TFieldType::Int64: return "64-bit integer";
    case TFieldType::Float: return "floating point";
    case TFieldType::Boolean: return "Boolean";
    case TFieldType::DateTime: return "date-time";
    case TFieldType::Blob: return "binary";
    case TFieldType::Decimal: return "decimal";
    case TFieldType::Unknown: break;
  }
  return "unknown";
}

// ---------------------------------------------------------------------------
// Writer

class TWriter {
 public:
  void U8(std::uint8_t V) { FOut.push_back(static_cast<char>(V)); }
  // What describes the item for an error: a text, or a function that makes it.
  template <typename TWhat>
  void U32(std::uint64_t V, const TWhat& What) {
    if (V > std::numeric_limits<std::uint32_t>::max()) {
      std::string Text;
      if constexpr (std::is_invocable_v<TWhat>)
        Text = What();
      else
        Text = What;
      throw EStreamError("Dataset stream: " + Text + " is too large for the stream layout");
    }
    LittleEndian(static_cast<std::uint32_t>(V));
  }
  void I32(std::int32_t V) { LittleEndian(static_cast<std::uint32_t>(V)); }
  void I64(std::int64_t V) { LittleEndian(static_cast<std::uint64_t>(V)); }
  void F64(double V) { LittleEndian(std::bit_cast<std::uint64_t>(V)); }
  template <typename TWhat>
  void Str(std::string_view S, const TWhat& What) {
    U32(S.size(), What);
    FOut.append(S);
  }
  void Raw(const char* P, std::size_t N) { FOut.append(P, N); }
  std::string Take() { return std::move(FOut); }

 private:
  template <typename T>
  void LittleEndian(T V) {
    char B[sizeof(T)];
    for (std::size_t I = 0; I < sizeof(T); ++I) B[I] = static_cast<char>((V >> (8 * I)) & 0xFF);
    FOut.append(B, sizeof(T));
  }
  std::string FOut;
};

std::string Where(const std::string& Table, std::size_t Row, const TStreamColumn& C) {
  return "table '" + Table + "', row " + std::to_string(Row) + ", column '" + C.Name + "'";
}
std::string Where(const TStreamTable& T, std::size_t Row, const TStreamColumn& C) { return Where(T.Name, Row, C); }

void WriteValue(TWriter& W, const TValue& V, const std::string& T, std::size_t Row, const TStreamColumn& C) {
  if (V.IsNull()) {
    W.U8(0);
    return;
  }
  if (V.Type() != C.Type)
    throw EStreamError("Dataset stream: " + Where(T, Row, C) + ": a " + TypeName(V.Type()) +
                       " value in a " + TypeName(C.Type) + " column");
  W.U8(1);
  const auto Place = [&] { return Where(T, Row, C); };
  switch (C.Type) {
    case TFieldType::Text:
    case TFieldType::Blob: W.Str(V.Bytes(), Place); break;
    case TFieldType::Decimal:
      if (!IsPlainDecimal(V.Bytes()))
        throw EStreamError("Dataset stream: " + Where(T, Row, C) + ": '" + V.Bytes().substr(0, 64) +
                           "' is not a decimal number");
      W.Str(V.Bytes(), Place);
      break;
    case TFieldType::Int32: W.I32(static_cast<std::int32_t>(V.AsInt64())); break;
    case TFieldType::Int64: W.I64(V.AsInt64()); break;
    case TFieldType::Float: W.F64(V.AsFloat()); break;
    case TFieldType::Boolean: W.U8(V.AsBoolean() ? 1 : 0); break;
    case TFieldType::DateTime:
      if (!ValidDateTime(V.AsDateTime()))
        throw EStreamError("Dataset stream: " + Where(T, Row, C) + ": date-time out of range");
      W.F64(V.AsDateTime());
      break;
    case TFieldType::Unknown: break;
  }
}

void WriteValues(TWriter& W, const std::vector<TValue>& Values, const std::string& Table,
                 const std::vector<TStreamColumn>& Columns, std::size_t Row, const char* Which) {
  if (Values.size() != Columns.size())
    throw EStreamError("Dataset stream: table '" + Table + "', row " + std::to_string(Row) + " has " +
                       std::to_string(Values.size()) + " " + Which + "values for " +
                       std::to_string(Columns.size()) + " columns");
  for (std::size_t I = 0; I < Values.size(); ++I) WriteValue(W, Values[I], Table, Row, Columns[I]);
}

// A table's name and column descriptions.
void WriteTableHead(TWriter& W, const std::string& Table, const std::vector<TStreamColumn>& Columns) {
  W.Str(Table, "the table name");
  W.U32(Columns.size(), [&] { return "the number of columns of table '" + Table + "'"; });
  for (const TStreamColumn& C : Columns) {
    const auto Where = [&] { return "table '" + Table + "', column '" + C.Name + "'"; };
    if (!ValidType(static_cast<std::uint8_t>(C.Type)))
      throw EStreamError("Dataset stream: " + Where() + " has no valid type");
    if ((C.Flags & ~kKnownFlags) != 0) throw EStreamError("Dataset stream: " + Where() + " has unknown flags");
    W.Str(C.Name, Where);
    W.U8(static_cast<std::uint8_t>(C.Type));
    W.U8(C.Flags);
    W.U32(C.Size, Where);
    W.Str(C.OriginTable, Where);
    W.Str(C.OriginColumn, Where);
  }
}

// The rows of a table of a data stream.
void WriteDataRows(TWriter& W, const std::string& Table, const std::vector<TStreamColumn>& Columns,
                   const std::vector<std::vector<TValue>>& Rows) {
  if (Columns.empty() && !Rows.empty())
    throw EStreamError("Dataset stream: table '" + Table + "' has rows but no columns");
  W.U32(Rows.size(), [&] { return "the number of rows of table '" + Table + "'"; });
  for (std::size_t I = 0; I < Rows.size(); ++I) WriteValues(W, Rows[I], Table, Columns, I, "");
}

// ---------------------------------------------------------------------------
// Reader: every length is checked against the bytes that remain before use.
// Places are described lazily: the text is built only for an error.

// Where a read happens: a fixed text, or a value of a table (row, column).
struct TPlace {
  const char* Text = nullptr;
  const std::string* Extra = nullptr;  // appended to Text when set
  const TStreamTable* Table = nullptr;
  std::size_t Row = 0;
  const TStreamColumn* Column = nullptr;

  std::string Describe() const {
    if (Table && Column) return Where(*Table, Row, *Column);
    std::string S = Text ? Text : "";
    if (Extra) S += *Extra;
    return S;
  }
};

TPlace Place(const char* Text, const std::string* Extra = nullptr) {
  TPlace P;
  P.Text = Text;
  P.Extra = Extra;
  return P;
}

class TReader {
 public:
  explicit TReader(std::string_view Bytes) : FData(Bytes) {}

  std::size_t Remaining() const noexcept { return FData.size() - FPos; }
  std::size_t Pos() const noexcept { return FPos; }

  void Need(std::size_t N, const TPlace& At) const {
    if (N > Remaining())
      throw EStreamError("Dataset stream truncated: " + At.Describe() + " needs " + std::to_string(N) +
                         " bytes at offset " + std::to_string(FPos) + ", " + std::to_string(Remaining()) +
                         " left");
  }
  std::uint8_t U8(const TPlace& At) {
    Need(1, At);
    return static_cast<std::uint8_t>(FData[FPos++]);
  }
  std::uint32_t U32(const TPlace& At) { return LittleEndian<std::uint32_t>(At); }
  std::int32_t I32(const TPlace& At) { return static_cast<std::int32_t>(LittleEndian<std::uint32_t>(At)); }
  std::int64_t I64(const TPlace& At) { return static_cast<std::int64_t>(LittleEndian<std::uint64_t>(At)); }
  double F64(const TPlace& At) { return std::bit_cast<double>(LittleEndian<std::uint64_t>(At)); }
  std::string Str(const TPlace& At) {
    const std::uint32_t N = U32(At);
    Need(N, At);
    std::string S(FData.substr(FPos, N));
    FPos += N;
    return S;
  }
  // A count of items that each take at least MinBytes: a count the remaining
  // bytes cannot hold is refused before anything is reserved.
  std::uint32_t Count(std::size_t MinBytes, const TPlace& At) {
    const std::uint32_t N = U32(At);
    if (MinBytes > 0 && N > Remaining() / MinBytes)
      throw EStreamError("Dataset stream: " + At.Describe() + " " + std::to_string(N) + " exceeds the " +
                         std::to_string(Remaining()) + " bytes left at offset " + std::to_string(FPos));
    return N;
  }

 private:
  template <typename T>
  T LittleEndian(const TPlace& At) {
    Need(sizeof(T), At);
    T V = 0;
    for (std::size_t I = 0; I < sizeof(T); ++I)
      V |= static_cast<T>(static_cast<unsigned char>(FData[FPos + I])) << (8 * I);
    FPos += sizeof(T);
    return V;
  }
  std::string_view FData;
  std::size_t FPos = 0;
};

TValue ReadValue(TReader& R, const TStreamTable& T, std::size_t Row, const TStreamColumn& C) {
  TPlace At;
  At.Table = &T, At.Row = Row, At.Column = &C;
  const std::uint8_t Present = R.U8(At);
  if (Present == 0) return TValue::Null(C.Type);
  if (Present != 1)
    throw EStreamError("Dataset stream: " + At.Describe() + ": bad presence byte " + std::to_string(Present));
  switch (C.Type) {
    case TFieldType::Text: return TValue::Text(R.Str(At));
    case TFieldType::Blob: return TValue::Blob(R.Str(At));
    case TFieldType::Decimal: {
      std::string S = R.Str(At);
      if (!IsPlainDecimal(S))
        throw EStreamError("Dataset stream: " + At.Describe() + ": '" + S.substr(0, 64) + "' is not a decimal number");
      return TValue::Decimal(std::move(S));
    }
    case TFieldType::Int32: return TValue::Int32(R.I32(At));
    case TFieldType::Int64: return TValue::Int64(R.I64(At));
    case TFieldType::Float: return TValue::Float(R.F64(At));
    case TFieldType::Boolean: {
      const std::uint8_t B = R.U8(At);
      if (B > 1)
        throw EStreamError("Dataset stream: " + At.Describe() + ": Boolean payload " + std::to_string(B) +
                           " is not 0 or 1");
      return TValue::Boolean(B == 1);
    }
    case TFieldType::DateTime: {
      const double D = R.F64(At);
      if (!ValidDateTime(D)) throw EStreamError("Dataset stream: " + At.Describe() + ": date-time out of range");
      return TValue::DateTime(D);
    }
    case TFieldType::Unknown: break;
  }
  throw EStreamError("Dataset stream: " + At.Describe() + ": unknown column type");
}

std::vector<TValue> ReadValues(TReader& R, const TStreamTable& T, std::size_t Row) {
  std::vector<TValue> Values;
  Values.reserve(T.Columns.size());  // bounded: columns were checked against the remaining bytes
  for (const TStreamColumn& C : T.Columns) Values.push_back(ReadValue(R, T, Row, C));
  return Values;
}

}  // namespace

std::string WriteDataStream(const TDataStream& Stream) {
  if (Stream.Kind != TStreamKind::Data && Stream.Kind != TStreamKind::ChangeSet)
    throw EStreamError("Dataset stream: unknown stream kind");
  TWriter W;
  W.Raw(kMagic, sizeof kMagic);
  W.U8(static_cast<std::uint8_t>(Stream.Kind));
  W.U32(Stream.Tables.size(), "the number of tables");
  for (const TStreamTable& T : Stream.Tables) {
    WriteTableHead(W, T.Name, T.Columns);
    if (Stream.Kind == TStreamKind::Data) {
      if (!T.Changes.empty()) throw EStreamError("Dataset stream: table '" + T.Name + "' of a data stream holds changes");
      WriteDataRows(W, T.Name, T.Columns, T.Rows);
    } else {
      if (!T.Rows.empty()) throw EStreamError("Dataset stream: table '" + T.Name + "' of a change set holds plain rows");
      W.U32(T.Changes.size(), [&] { return "the number of changes of table '" + T.Name + "'"; });
      for (std::size_t I = 0; I < T.Changes.size(); ++I) {
        const TStreamChange& Ch = T.Changes[I];
        const auto Row = [&] { return "table '" + T.Name + "', row " + std::to_string(I); };
        switch (Ch.State) {
          case TRowState::Inserted:
            if (!Ch.Old.empty()) throw EStreamError("Dataset stream: " + Row() + ": an inserted row has old values");
            W.U8(1);
            WriteValues(W, Ch.New, T.Name, T.Columns, I, "new ");
            break;
          case TRowState::Modified:
            W.U8(2);
            WriteValues(W, Ch.Old, T.Name, T.Columns, I, "old ");
            WriteValues(W, Ch.New, T.Name, T.Columns, I, "new ");
            break;
          case TRowState::Deleted:
            if (!Ch.New.empty()) throw EStreamError("Dataset stream: " + Row() + ": a deleted row has new values");
            W.U8(3);
            WriteValues(W, Ch.Old, T.Name, T.Columns, I, "old ");
            break;
          default: throw EStreamError("Dataset stream: " + Row() + ": unknown row state");
        }
      }
    }
  }
  return W.Take();
}

std::string WriteDataStream(const std::vector<TStreamTableRef>& Tables) {
  TWriter W;
  W.Raw(kMagic, sizeof kMagic);
  W.U8(static_cast<std::uint8_t>(TStreamKind::Data));
  W.U32(Tables.size(), "the number of tables");
  static const std::vector<std::vector<TValue>> NoRows;
  for (const TStreamTableRef& T : Tables) {
    WriteTableHead(W, T.Name, T.Columns);
    WriteDataRows(W, T.Name, T.Columns, T.Rows ? *T.Rows : NoRows);
  }
  return W.Take();
}

TDataStream ReadDataStream(std::string_view Bytes) {
  TReader R(Bytes);
  R.Need(sizeof kMagic, Place("the stream header"));
  if (std::memcmp(Bytes.data(), kMagic, sizeof kMagic) != 0)
    throw EStreamError("Not a dataset stream: the header \"ODS1\" is missing");
  for (std::size_t I = 0; I < sizeof kMagic; ++I) R.U8(Place("the stream header"));

  TDataStream S;
  const std::uint8_t Kind = R.U8(Place("the stream kind"));
  if (Kind != 1 && Kind != 2) throw EStreamError("Dataset stream: unknown stream kind " + std::to_string(Kind));
  S.Kind = static_cast<TStreamKind>(Kind);

  const std::uint32_t Tables = R.Count(kMinTableBytes, Place("the number of tables"));
  S.Tables.reserve(Tables);
  for (std::uint32_t TI = 0; TI < Tables; ++TI) {
    TStreamTable& T = S.Tables.emplace_back();
    const std::string Index = std::to_string(TI);
    T.Name = R.Str(Place("the name of table ", &Index));
    const std::string OfTable = "table '" + T.Name + "'";
    const std::uint32_t Columns = R.Count(kMinColumnBytes, Place("the number of columns of ", &OfTable));
    T.Columns.reserve(Columns);
    for (std::uint32_t CI = 0; CI < Columns; ++CI) {
      TStreamColumn& C = T.Columns.emplace_back();
      const std::string Where = OfTable + ", column " + std::to_string(CI);
      C.Name = R.Str(Place("", &Where));
      const std::string Named = OfTable + ", column '" + C.Name + "'";
      const std::uint8_t Type = R.U8(Place("", &Named));
      if (!ValidType(Type)) throw EStreamError("Dataset stream: " + Named + ": unknown type " + std::to_string(Type));
      C.Type = static_cast<TFieldType>(Type);
      C.Flags = R.U8(Place("", &Named));
      if ((C.Flags & ~kKnownFlags) != 0)
        throw EStreamError("Dataset stream: " + Named + ": unknown flags " + std::to_string(C.Flags));
      C.Size = R.U32(Place("", &Named));
      C.OriginTable = R.Str(Place("", &Named));
      C.OriginColumn = R.Str(Place("", &Named));
    }
    if (S.Kind == TStreamKind::Data) {
      // A data row takes at least one presence byte per column.
      const std::uint32_t Rows = R.Count(T.Columns.size(), Place("the number of rows of ", &OfTable));
      if (T.Columns.empty() && Rows > 0)
        throw EStreamError("Dataset stream: " + OfTable + " has rows but no columns");
      T.Rows.reserve(Rows);
      for (std::uint32_t RI = 0; RI < Rows; ++RI) T.Rows.push_back(ReadValues(R, T, RI));
    } else {
      // A change takes at least its state byte and one presence byte per column.
      const std::uint32_t Changes = R.Count(1 + T.Columns.size(), Place("the number of changes of ", &OfTable));
      T.Changes.reserve(Changes);
      for (std::uint32_t RI = 0; RI < Changes; ++RI) {
        TStreamChange& Ch = T.Changes.emplace_back();
        const std::uint8_t State = R.U8(Place("the row state in ", &OfTable));
        switch (State) {
          case 1:
            Ch.State = TRowState::Inserted;
            Ch.New = ReadValues(R, T, RI);
            break;
          case 2:
            Ch.State = TRowState::Modified;
            Ch.Old = ReadValues(R, T, RI);
            Ch.New = ReadValues(R, T, RI);
            break;
          case 3:
            Ch.State = TRowState::Deleted;
            Ch.Old = ReadValues(R, T, RI);
            break;
          default:
            throw EStreamError("Dataset stream: " + OfTable + ", row " + std::to_string(RI) +
                               ": unknown row state " + std::to_string(State));
        }
      }
    }
  }
  if (R.Remaining() != 0)
    throw EStreamError("Dataset stream: " + std::to_string(R.Remaining()) + " unexpected bytes after the end at offset " +
                       std::to_string(R.Pos()));
  return S;
}

void MakeColumnNamesUnique(std::vector<TStreamColumn>& Columns) {
  const auto Taken = [&](const std::string& Name, std::size_t Upto) {
    for (std::size_t J = 0; J < Upto; ++J)
      if (SameName(Columns[J].Name, Name)) return true;
    return false;
  };
  for (std::size_t I = 1; I < Columns.size(); ++I) {
    if (!Taken(Columns[I].Name, I)) continue;
    const std::string Base = Columns[I].Name;
    for (std::size_t K = 1;; ++K) {
      std::string Candidate = Base + "_" + std::to_string(K);
      // Also skip names that a later column carries itself.
      bool Later = false;
      for (std::size_t J = I + 1; J < Columns.size() && !Later; ++J) Later = SameName(Columns[J].Name, Candidate);
      if (!Later && !Taken(Candidate, I)) {
        Columns[I].Name = std::move(Candidate);
        break;
      }
    }
  }
}

}  // namespace ordex::db
