#pragma once
#include <windows.h>
#include <string>

// "code 5 (0x5): Access is denied." for a Win32 error code.
std::wstring ErrorText(DWORD error);
