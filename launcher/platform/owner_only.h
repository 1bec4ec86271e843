// Folders only their user can write. A target under a shared folder
// ({TEMP} set machine-wide, a folder of all users) would otherwise inherit
// permissions that let another local user add a DLL the program loads
// first; the checksums never see a file that is not in the block.
#pragma once

#include <windows.h>

// Whether a folder's owner may stand behind a target folder: the user
// starting it, SYSTEM or the Administrators group. Another, ordinary
// user's folder is refused: that user could change anything in it.
inline bool owner_is_acceptable(bool owner_is_user, bool owner_is_system_or_admins) {
    return owner_is_user || owner_is_system_or_admins;
}

// The attributes every folder the launcher makes is made with: a
// protected list granting all access to the user, SYSTEM and the
// Administrators group only, inherited by everything made in it. Built on
// first use; nullptr when the system cannot say who the user is (the
// folder is then made as before, inheriting).
SECURITY_ATTRIBUTES* owner_only_attributes();

// Makes one folder with those attributes (CreateDirectoryW: a link at its
// place is never followed). False with GetLastError telling why.
bool make_owner_only_folder(const wchar_t* folder);

// Whether the owner of the open folder (opened with READ_CONTROL) is
// acceptable; true when it cannot be read.
bool folder_owner_is_acceptable(HANDLE folder);
