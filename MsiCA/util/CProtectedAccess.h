#pragma once
#include <windows.h>
#include <string>

// Folders and files that only the system and administrators may change. The deferred
// actions run as LocalSystem beside folders that every user can write into (the temporary
// directory); what they keep there is created with a protected access list (full control
// for SYSTEM and Administrators, nothing inherited, no one else) and checked before an
// existing one is trusted.
class CProtectedAccess
{
  public:
    // CreateDirectoryW with the protected access list; GetLastError tells a failure (183 when
    // something of that name exists).
    static bool CreateFolder(const wchar_t* path);
    // A new file with the protected access list, replacing one of that name, open for writing.
    static HANDLE CreateNewFile(const wchar_t* path);
    // Whether what path names may be trusted: not a link, owned by SYSTEM, Administrators or
    // the account the action runs as, and writable by no one else. why tells the reason when
    // not.
    static bool IsTrusted(const wchar_t* path, std::wstring& why);
    // Whether no ordinary user (Users, Authenticated Users, Everyone, Interactive) may create
    // files in folder, and its owner is trusted as above. why tells the reason when not.
    static bool IsClosedToUsers(const wchar_t* folder, std::wstring& why);
};
