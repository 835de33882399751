#include "branch/branch.h"

#include "util/utf8.h"

namespace corvantine::branch {

Result<BranchName> BranchName::New(std::string text) {
  if (text.empty() || text.find('\0') != std::string::npos) {
    return CorvantineError::InvalidArgument("branch name must be nonempty and contain no NUL");
  }
  // Names are stored as JSON strings, which cannot carry other bytes.
  if (!util::IsValidUtf8(text)) {
    return CorvantineError::InvalidArgument("branch name must be valid UTF-8");
  }
  if (text.size() > kMaxBranchNameBytes) {
    return CorvantineError::ResourceLimit("branch name bytes", text.size(), kMaxBranchNameBytes);
  }
  return BranchName(std::move(text));
}

BranchInfo DefaultBranchInfo() {
  BranchInfo info;
  info.name = std::string(kDefaultBranchName);
  return info;
}

}  // namespace corvantine::branch
