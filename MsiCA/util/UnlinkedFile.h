#pragma once
#include <windows.h>

// CreateFileW for a file that is no link. Run as LocalSystem, a write through a symbolic
// link, a junction or a second hard link that another account planted would reach a file
// that account could not write itself. Such a file is opened without following the link,
// closed again and refused: INVALID_HANDLE_VALUE with ERROR_CANT_ACCESS_FILE, and why (when
// given) names the reason.
HANDLE CreateUnlinkedFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                          const wchar_t** why = nullptr);
