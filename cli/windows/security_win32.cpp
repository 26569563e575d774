#include "security_win32.h"

bool hands_down_to_files(const ACL* folder_dacl)
{
    if (folder_dacl == nullptr) {
        return false;
    }
    for (DWORD i = 0; i < folder_dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (::GetAce(const_cast<ACL*>(folder_dacl), i, &ace) &&
            (static_cast<const ACE_HEADER*>(ace)->AceFlags & OBJECT_INHERIT_ACE) != 0) {
            return true;
        }
    }
    return false;
}
