#include "platform/win32/store_rules.h"

#include <aclapi.h>

#include <algorithm>
#include <cstring>

#include "platform/win32/win32_files.h"

namespace kestrix::win32 {

SidBytes WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  SidBytes sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!::CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
  sid.resize(size);
  return sid;
}

SidBytes ThisUserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  ScopedHandle held(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  const auto* bytes = static_cast<const BYTE*>(sid);
  return SidBytes(bytes, bytes + ::GetLengthSid(sid));
}

StoreRules::StoreRules(bool elevated) {
  std::vector<SidBytes> admitted = {WellKnownSid(WinLocalSystemSid),
                                    WellKnownSid(WinBuiltinAdministratorsSid)};
  trusted = {ThisUserSid()};
  if (elevated) {
    trusted.insert(trusted.end(), admitted.begin(), admitted.end());
  } else {
    admitted.insert(admitted.begin(), trusted.front());
  }
  DWORD size = sizeof(ACL);
  for (const SidBytes& sid : admitted) size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid.size();
  acl.resize(size);
  valid = ::InitializeAcl(Acl(), size, ACL_REVISION);
  for (SidBytes& sid : admitted) {
    valid = valid && !sid.empty() &&
            ::AddAccessAllowedAceEx(Acl(), ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                    FILE_ALL_ACCESS, sid.data());
  }
  valid = valid && ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
          ::SetSecurityDescriptorDacl(&descriptor, TRUE, Acl(), FALSE) &&
          ::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  attributes.lpSecurityDescriptor = &descriptor;
}

bool StoreRules::Trusts(PSID owner) const {
  return owner != nullptr && std::any_of(trusted.begin(), trusted.end(), [&](const SidBytes& sid) {
           return !sid.empty() && ::EqualSid(owner, const_cast<BYTE*>(sid.data()));
         });
}

bool StoreRules::Holds(HANDLE folder) {
  PACL current = nullptr;
  PSECURITY_DESCRIPTOR held = nullptr;
  if (::GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                        nullptr, &held) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  bool same = ::GetSecurityDescriptorControl(held, &control, &revision) &&
              (control & SE_DACL_PROTECTED) != 0 && current != nullptr &&
              current->AceCount == Acl()->AceCount;
  for (WORD index = 0; same && index < current->AceCount; ++index) {
    void* have = nullptr;
    void* want = nullptr;
    same = ::GetAce(current, index, &have) && ::GetAce(Acl(), index, &want) &&
           static_cast<ACE_HEADER*>(have)->AceSize == static_cast<ACE_HEADER*>(want)->AceSize &&
           std::memcmp(have, want, static_cast<ACE_HEADER*>(want)->AceSize) == 0;
  }
  ::LocalFree(held);
  return same;
}

bool OwnedByTrusted(HANDLE handle, const StoreRules& rules) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool trusted = rules.Trusts(owner);
  ::LocalFree(descriptor);
  return trusted;
}

}  // namespace kestrix::win32
