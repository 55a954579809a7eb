#pragma once
#include <windows.h>

// Win32 error codes that mingw-w64's winerror.h lacks.
#ifndef ERROR_UNHANDLED_EXCEPTION
#define ERROR_UNHANDLED_EXCEPTION 574L
#endif

// The thread's last error, or fallback when a failing call left none: a failure must never
// read as success.
inline DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = GetLastError();
    return error != 0 ? error : fallback;
}
