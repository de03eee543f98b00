// File lists: the composed list statement with its folder, rights, deletion,
// client filter, ordering and paging pieces, and the methods that run it.
#include <charconv>
#include <cstdio>
#include <limits>
#include <string>

#include "common/qxBase.h"
#include "common/qxError.h"
#include "docservice/OrdexInternal.h"
#include "docservice/OrdexSqlGuard.h"
#include "docservice/dmOrdexServerClass.h"

namespace ordex {

namespace {

// A number read from a result as decimal text. Floating-point values (the sum
// of the stored sizes) are written with 15 significant digits and without an
// exponent, so a sum of kibibytes reads "1.562" rather than "1.5619999999999998"
// and a large total "1048576" rather than "1.048576e+06".
std::string NumberText(const db::TField& Field) {
  const db::TValue& V = Field.Value();
  if (V.IsNull() || V.Type() != db::TFieldType::Float) return V.AsString();
  const double D = V.AsFloat();
  char Buf[64];
  const int N = std::snprintf(Buf, sizeof Buf, "%.15g", D);
  std::string Text(Buf, N > 0 ? static_cast<std::size_t>(N) : 0);
  if (Text.find_first_of("eE") != std::string::npos) {
    // Beyond 15 digits (or very small): plain notation, shortest exact digits.
    char Fixed[400];
    const auto [End, Ec] = std::to_chars(Fixed, Fixed + sizeof Fixed, D, std::chars_format::fixed);
    if (Ec == std::errc()) Text.assign(Fixed, End);
  }
  return Text;
}

}  // namespace

const std::vector<std::string>& TOrdexServerClass::FileColumns() {
  if (FFileColumns.empty()) {
    db::TQuery Q(dmQxSrvConnects->cnQxConn, "iqFileColumns");
    Q.SetSQL("SELECT * FROM oxFiles f WHERE 1=0");
    Q.Prepare();
    for (const auto& Def : Q.FieldDefs()) FFileColumns.push_back(Def.Name);
  }
  return FFileColumns;
}

std::string TOrdexServerClass::GetSQLFiles(const std::string& FieldInp, const TOrdexFilter& OrdexFilter, bool IsOrder,
                                           bool IsBlob) {
  db::TConnection& Conn = dmQxSrvConnects->cnQxConn;
  std::string S;
  const auto Piece = [&S](std::string_view Text) {
    S += Text;
    S += '\r';
  };

  Piece("SELECT " + FieldInp);
  Piece(" FROM oxFiles f ");
  if (IsBlob && OrdexFilter.IsPreview) {
    Piece("");
    Piece("");
    Piece("LEFT JOIN qxpreview p ");
    Piece("ON p.idobj=f.fileid ");
    Piece("");
  }
  Piece("WHERE (1=1) ");
  // Ids and logins stand inside quotes: escaped, so a quote cannot end them.
  if (!OrdexFilter.FileID.empty()) Piece("and(f.fileid='" + detail::EscapeSqlText(Conn, OrdexFilter.FileID) + "') ");
  if (!OrdexFilter.IsShowAll) {
    if (OrdexFilter.IsRecursive) {
      Piece("and(f.treeid in (" + GetTreeListRecurse(OrdexFilter.TreeID) + ")) ");
    } else {
      const TTreeRights Rights = GetTreeRights(OrdexFilter.TreeID);
      if (Rights.RFile || Rights.RMyFile) {
        Piece("and(f.treeid=:treeid) ");
        if (Rights.RMyFile) Piece("and(f.usercreate='" + detail::EscapeSqlText(Conn, Sess.Login) + "') ");
      } else {
        Piece("and(1=0) ");
      }
    }
  }
  Piece(OrdexFilter.IsShowDel ? "and(f.del=1) " : "and((f.del is null)or(f.del=0)) ");

  // The client's condition and ordering are SQL fragments: only expressions
  // over the file columns pass the guard.
  const bool HasFilter = !Trim(OrdexFilter.filter).empty();
  const std::string Order = Trim(OrdexFilter.order);
  const bool HasOrder = IsOrder && !Order.empty();
  if (HasFilter || HasOrder) {
    const TFileSqlGuard Guard(FileColumns());
    if (HasFilter) Guard.CheckFilter(OrdexFilter.filter);
    if (HasOrder) Guard.CheckOrder(Order);
  }
  if (HasFilter) Piece("and" + OrdexFilter.filter);
  if (HasOrder) Piece("ORDER BY " + Order);
  if (IsOrder) {
    const std::int64_t Page = OrdexFilter.CurrentPage;
    const std::int64_t Rows = OrdexFilter.KolRows;
    if (Page < 0 || Rows < 0)
      throw EArgumentError("Номер страницы и число строк на странице не могут быть отрицательными (CurrentPage=" +
                           std::to_string(Page) + ", KolRows=" + std::to_string(Rows) + ")");
    if (Rows != 0 && Page > std::numeric_limits<std::int64_t>::max() / Rows)
      throw EArgumentError("Слишком большой номер страницы (CurrentPage=" + std::to_string(Page) +
                           ", KolRows=" + std::to_string(Rows) + ")");
    Piece("LIMIT " + std::to_string(Page * Rows) + "," + std::to_string(Rows));
  }
  return S;
}

void TOrdexServerClass::SetFileParam(db::TQuery& Q) {
  if (OrdexFilterObj.IsShowAll) return;
  Q.Params().Clear();
  Q.Params().Add("TREEID", db::TFieldType::Text, 75).SetText(Trim(OrdexFilterObj.TreeID));
}

TStreamBytes TOrdexServerClass::GetFiles(const std::string& OrdexFilter) {
  OrdexFilterObj = DecodeOrdexFilterJson(OrdexFilter);
  iqFiles.Close();
  const std::string Fields = OrdexFilterObj.IsPreview ? "f.*, p.blob_pic " : "f.*";
  iqFiles.SetSQL(GetSQLFiles(Fields, OrdexFilterObj, true, true));
  SetFileParam(iqFiles);
  iqFiles.Open();
  return SaveAdapter(saFiles);
}

TStreamBytes TOrdexServerClass::GetFileList(const std::string& OrdexFilter) {
  OrdexFilterObj = DecodeOrdexFilterJson(OrdexFilter);
  iqFileList.Close();
  iqFileList.SetSQL(GetSQLFiles("f.* ", OrdexFilterObj, true, false));
  SetFileParam(iqFileList);
  iqFileList.Open();
  return SaveAdapter(saFileList);
}

std::string TOrdexServerClass::GetKolRows(const std::string& OrdexFilter, std::string& TotalSize) {
  iqKolFiles.Close();
  OrdexFilterObj = DecodeOrdexFilterJson(OrdexFilter);
  iqKolFiles.SetSQL(GetSQLFiles("count(*) as cnt, sum(size_file) as totalsize\r", OrdexFilterObj, false, false));
  SetFileParam(iqKolFiles);
  iqKolFiles.Open();
  TotalSize = NumberText(iqKolFiles.FieldByName("totalsize"));
  if (Trim(TotalSize).empty()) TotalSize = "0";
  return NumberText(iqKolFiles.FieldByName("cnt"));
}

TStreamBytes TOrdexServerClass::RefreshFiles() {
  iqFiles.Close();
  iqFiles.Open();
  return SaveAdapter(saFiles);
}

TStreamBytes TOrdexServerClass::GetExludeFiles() {
  iqTabuFiles.Close();
  iqTabuFiles.Open();
  return SaveAdapter(saTabuFiles);
}

}  // namespace ordex
