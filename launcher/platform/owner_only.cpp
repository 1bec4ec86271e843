#include "launcher/platform/owner_only.h"

#include <aclapi.h>

namespace {

// The user's, SYSTEM's and the Administrators' identities, the list that
// grants them all, and the descriptor around it: built once by the main
// thread, before the first folder is made, and kept until exit.
struct owner_only_state {
    bool built;
    bool usable;
    alignas(8) unsigned char user[SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char system[SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char admins[SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char acl[512];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
};
owner_only_state owner_only;

bool learn_user(void* out) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    alignas(8) unsigned char reply[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const bool known =
        GetTokenInformation(token, TokenUser, reply, sizeof reply, &size) &&
        CopySid(SECURITY_MAX_SID_SIZE, out, reinterpret_cast<TOKEN_USER*>(reply)->User.Sid);
    CloseHandle(token);
    return known;
}

bool well_known(WELL_KNOWN_SID_TYPE type, void* out) {
    DWORD size = SECURITY_MAX_SID_SIZE;
    return CreateWellKnownSid(type, nullptr, out, &size);
}

bool build_owner_only() {
    constexpr DWORD inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    auto* acl = reinterpret_cast<ACL*>(owner_only.acl);
    return learn_user(owner_only.user) && well_known(WinLocalSystemSid, owner_only.system) &&
           well_known(WinBuiltinAdministratorsSid, owner_only.admins) &&
           InitializeAcl(acl, sizeof owner_only.acl, ACL_REVISION) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, inherited, FILE_ALL_ACCESS, owner_only.user) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, inherited, FILE_ALL_ACCESS,
                                 owner_only.system) &&
           AddAccessAllowedAceEx(acl, ACL_REVISION, inherited, FILE_ALL_ACCESS,
                                 owner_only.admins) &&
           InitializeSecurityDescriptor(&owner_only.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&owner_only.descriptor, TRUE, acl, FALSE) &&
           // Protected: nothing of the folder above is inherited.
           SetSecurityDescriptorControl(&owner_only.descriptor, SE_DACL_PROTECTED,
                                        SE_DACL_PROTECTED);
}

}  // namespace

SECURITY_ATTRIBUTES* owner_only_attributes() {
    if (!owner_only.built) {
        owner_only.built = true;
        owner_only.usable = build_owner_only();
        owner_only.attributes = {sizeof(SECURITY_ATTRIBUTES), &owner_only.descriptor, FALSE};
    }
    return owner_only.usable ? &owner_only.attributes : nullptr;
}

bool make_owner_only_folder(const wchar_t* folder) {
    return CreateDirectoryW(folder, owner_only_attributes()) != FALSE;
}

bool folder_owner_is_acceptable(HANDLE folder) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // An owner nobody can tell is no one else's to refuse.
    if (owner_only_attributes() == nullptr ||
        GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;
    }
    const bool acceptable = owner_is_acceptable(
        EqualSid(owner, owner_only.user),
        EqualSid(owner, owner_only.system) || EqualSid(owner, owner_only.admins));
    LocalFree(descriptor);
    return acceptable;
}
