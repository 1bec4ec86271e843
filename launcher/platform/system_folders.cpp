#include "launcher/platform/system_folders.h"

#include <shlobj.h>

bool read_shell_folder(int folder_id, wchar_t (&out)[MAX_PATH]) {
    return SHGetFolderPathW(nullptr, folder_id, nullptr, SHGFP_TYPE_CURRENT, out) == S_OK;
}

DWORD read_temp_folder(wchar_t* out, DWORD room) { return GetTempPathW(room, out); }
