// Who may open the quarantine's folder on Windows, and whose files in it
// are the store's own. For the backend's own sources only.
#pragma once

#include <windows.h>

#include <vector>

namespace kestrix::win32 {

using SidBytes = std::vector<BYTE>;

// Empty when the system cannot make it.
SidBytes WellKnownSid(WELL_KNOWN_SID_TYPE type);
// The user this program runs as; empty when the token cannot be read.
SidBytes ThisUserSid();

// Who may open the store's folder and what it holds, inherited by every
// file made in it; and whose files are the store's own. An elevated
// program's store admits only the administrators and the system; anyone
// else's, this user as well.
struct StoreRules {
  explicit StoreRules(bool elevated);
  StoreRules(const StoreRules&) = delete;
  StoreRules& operator=(const StoreRules&) = delete;

  PACL Acl() { return reinterpret_cast<PACL>(acl.data()); }

  bool Trusts(PSID owner) const;
  // Whether an open folder is protected with exactly these entries.
  bool Holds(HANDLE folder);

  std::vector<SidBytes> trusted;
  std::vector<BYTE> acl;
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  bool valid = false;
};

// The owner of an open file or folder, checked against `rules`; false when
// it cannot be read.
bool OwnedByTrusted(HANDLE handle, const StoreRules& rules);

}  // namespace kestrix::win32
