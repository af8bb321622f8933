#include "os/win32/rights.h"

#include <aclapi.h>

#include <memory>

namespace ovpre {

namespace {

/// Frees what a security call gave back with LocalAlloc.
struct FreeLocal {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, FreeLocal>;

/// One part of the running process's token (its user, or the owner it gives
/// what it makes); empty when it cannot be read.
std::vector<char> TokenPart(TOKEN_INFORMATION_CLASS part) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const FileHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, part, nullptr, 0, &size);
  std::vector<char> data(size);
  if (size == 0 || !GetTokenInformation(token, part, data.data(), size, &size)) return {};
  return data;
}

/// The accounts this program trusts with what it keeps: its own, the owner
/// its token gives new things (the administrators, when elevated), and
/// those that may open anything anyway.
class TrustedAccounts {
 public:
  TrustedAccounts() : user_(TokenPart(TokenUser)), owner_(TokenPart(TokenOwner)) {}

  PSID User() const {
    return user_.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid;
  }

  bool Trust(PSID sid) const {
    const PSID owner =
        owner_.empty() ? nullptr : reinterpret_cast<const TOKEN_OWNER*>(owner_.data())->Owner;
    return (User() && EqualSid(sid, User())) || (owner && EqualSid(sid, owner)) ||
           IsWellKnownSid(sid, WinLocalSystemSid) ||
           IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
  }

 private:
  std::vector<char> user_;
  std::vector<char> owner_;
};

/// The account an entry that grants access names; null for an entry that
/// grants nothing (a deny, an audit, a label).
bool Grants(const ACE_HEADER* ace, PSID* sid) {
  switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      // Both keep the account right after the access mask.
      *sid = const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace)->SidStart);
      return true;
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
      // Not used on files; taken as granting someone else.
      *sid = nullptr;
      return true;
    default:
      return false;
  }
}

}  // namespace

bool NewRights::MakePrivate(bool inheritable) {
  const TrustedAccounts accounts;
  const PSID user = accounts.User();
  if (!user) return false;
  const DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
  acl_.assign(size, 0);
  auto* acl = reinterpret_cast<ACL*>(acl_.data());
  const DWORD flags = inheritable ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
  return InitializeAcl(acl, size, ACL_REVISION) &&
         AddAccessAllowedAceEx(acl, ACL_REVISION, flags, FILE_ALL_ACCESS, user) && Finish();
}

bool NewRights::MakeForWorkFolder(HANDLE target) {
  const TrustedAccounts accounts;
  const PSID user = accounts.User();
  const FileHandle reader(ReOpenFile(target, READ_CONTROL,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     FILE_FLAG_BACKUP_SEMANTICS));
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!user || !reader.valid() ||
      GetSecurityInfo(reader.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const LocalMemory owned(descriptor);
  if (!dacl) return false;
  std::vector<const ACE_HEADER*> handed_down;
  DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if ((header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) == 0) continue;
    handed_down.push_back(header);
    size += header->AceSize;
  }
  if (handed_down.empty()) return false;
  const DWORD revision = dacl->AclRevision > ACL_REVISION ? dacl->AclRevision : ACL_REVISION;
  acl_.assign(size, 0);
  auto* acl = reinterpret_cast<ACL*>(acl_.data());
  // The account's own entry opens the folder itself and is handed down to
  // nothing; the target's entries apply only to what is made below.
  if (!InitializeAcl(acl, size, revision) ||
      !AddAccessAllowedAceEx(acl, revision, 0, FILE_ALL_ACCESS, user)) {
    return false;
  }
  for (const ACE_HEADER* header : handed_down) {
    std::vector<char> copy(reinterpret_cast<const char*>(header),
                           reinterpret_cast<const char*>(header) + header->AceSize);
    auto* entry = reinterpret_cast<ACE_HEADER*>(copy.data());
    entry->AceFlags = (entry->AceFlags | INHERIT_ONLY_ACE) & ~INHERITED_ACE;
    if (!AddAce(acl, revision, MAXDWORD, copy.data(), entry->AceSize)) return false;
  }
  return Finish();
}

bool NewRights::Finish() {
  if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor_, TRUE, reinterpret_cast<ACL*>(acl_.data()),
                                 FALSE) ||
      // Protected: nothing the folders above hand down now or later flows in.
      !SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return false;
  }
  attributes_ = {sizeof attributes_, &descriptor_, FALSE};
  ready_ = true;
  return true;
}

std::string WhyNotOwnAndShut(HANDLE handle, const std::string& what, bool folder) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    return what + "'s rights cannot be read (error " + std::to_string(error) + ")";
  }
  const LocalMemory owned(descriptor);
  const TrustedAccounts accounts;
  if (!owner || !accounts.Trust(owner)) return what + " belongs to another account";
  if (!dacl) return what + " lets everyone in (no rights set)";
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool is_protected = GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                            (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return what + "'s rights cannot be read";
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    // A folder whose rights are not protected takes whatever the folders
    // above hand down. One that holds nothing handed down yet (Wine never
    // keeps the protection) is taken as private as it stands.
    if (folder && !is_protected && (header->AceFlags & INHERITED_ACE) != 0) {
      return what + " takes its rights from the folder above";
    }
    PSID grantee = nullptr;
    // An entry only handed down grants nothing on this entry itself.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || !Grants(header, &grantee)) continue;
    if (!grantee || !accounts.Trust(grantee)) return what + " lets another account in";
  }
  return "";
}

}  // namespace ovpre
