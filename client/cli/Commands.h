// The commands of "ordex", by family, and the helpers they share.
#pragma once

#include <string>
#include <vector>

#include "client/cli/CliSupport.h"

namespace ordex::cli {

std::vector<TCommandSpec> TreeCommands();   // tree, mkdir, mv, rename, rm, restore
std::vector<TCommandSpec> FileCommands();   // ls, put, get, history
std::vector<TCommandSpec> AdminCommands();  // rights, users, roles
std::vector<TCommandSpec> CallCommands();   // call

// The effective rights of the session on a folder, as GetRights reports them.
struct TRights {
  bool RTree = false, WTree = false, AdmTree = false, RFile = false, WFile = false, RMyFile = false;
  nlohmann::json Json;  // the report as received
};
TRights GetRights(client::TOrdexSession& Session, const std::string& TreeID);

// A right the server leaves to clients (writing, administering) is missing:
// the command stops with ExitFailed and this message.
class TRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Throws TRefused unless Granted; What names the right and the folder.
void Require(bool Granted, const std::string& What);

// Whether Id names the top of the tree ("" or "0").
bool IsTop(const std::string& Id);
// Checks an identifier given on the command line: not empty, at most 75
// characters, no control characters or quotes; throws TUsageError.
void CheckId(const std::string& Id, const std::string& What);
// Throws TRefused when no folder has the id (folder ids of the top allowed).
void RequireFolder(client::TOrdexSession& Session, const std::string& TreeID);

}  // namespace ordex::cli
