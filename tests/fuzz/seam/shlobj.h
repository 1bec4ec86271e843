// Exactly the part of <shlobj.h> that launcher/template.cpp and
// launcher/platform/system_folders.cpp use, for the Linux fuzz build only
// (see windows.h beside it).
#pragma once

#include <windows.h>

constexpr int CSIDL_LOCAL_APPDATA = 0x001c;
constexpr int CSIDL_PROFILE = 0x0028;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;

// Writes at most MAX_PATH units, the terminator included.
HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, wchar_t* path);
