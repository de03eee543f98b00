// The JSON records of the document service: the session record, the file-list
// filter, the version record and the folder rights, with their encoders and
// decoders. Decoders walk every scalar of the text token by token, nested
// objects and arrays included, so the last value of a key wins.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/qxDateTime.h"
#include "config/qxroot.h"

namespace ordex {

struct TOrdexFilter {
  std::string TreeID;
  std::string FileID;
  bool IsShowDel = false;
  bool IsShowAll = false;
  std::int64_t CurrentPage = 0;
  std::int64_t KolRows = 0;
  bool IsPreview = false;
  bool IsRecursive = false;
  std::string order;
  std::string filter;
};

struct TOrdexHistoryInfo {
  std::string histid;
  std::string fileid;
  std::int64_t ordnum = 0;
  TDateTime datecreate = 0;
  std::string usercreate;
  std::string md5_file;
  TDateTime file_datecreate = 0;
  TDateTime file_dateupdate = 0;
  double size_file = 0;
};

struct TTreeRights {
  std::string TreeID;
  std::string UserName;
  std::string RoleID;
  bool RTree = false;
  bool WTree = false;
  bool AdmTree = false;
  bool RFile = false;
  bool WFile = false;
  bool RMyFile = false;
};

// Session record as indented JSON (four spaces, CR LF line ends, fixed key order).
std::string GetQxSessionInfo(const TQxSessionInfo& Info);
// Rights as indented JSON in the same layout.
std::string GetQxTreeRights(const TTreeRights& Rights);

// Decoders; a text that is not well-formed JSON throws EJSONError.
TQxSessionInfo DecodeQxSessionInfo(std::string_view Json);
TOrdexHistoryInfo DecodeOrdexHistoryInfo(std::string_view Json);
TOrdexFilter DecodeOrdexFilterJson(std::string_view Json);

// Writes an ordered list of (key, already-encoded JSON value) pairs in the
// indented layout shared by the session and rights encoders.
std::string WriteIndentedJsonObject(const std::vector<std::pair<std::string, std::string>>& Members);

}  // namespace ordex
