// ui_host: installs a package through MsiInstallProductW with an external UI handler, as a
// setup program with its own window would, and records every message, one line each:
// milliseconds since the start, the message type (its top byte), the text.
//   ui_host PACKAGE MESSAGES-FILE [COMMAND-LINE]
// Exit code: MsiInstallProductW's result.
#include <windows.h>
#include <msi.h>
#include <algorithm>
#include <cstdio>
#include <string>

namespace
{
FILE* g_messages = nullptr;
ULONGLONG g_start = 0;

int WINAPI Record(LPVOID, UINT type, LPCWSTR text)
{
    std::wstring line = text ? text : L"";
    std::replace_if(
        line.begin(), line.end(), [](wchar_t c) { return c == L'\r' || c == L'\n' || c == L'\t'; }, L' ');
    fwprintf(g_messages, L"%llu\t%u\t%ls\n", GetTickCount64() - g_start, type >> 24, line.c_str());
    return 0;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3 || _wfopen_s(&g_messages, argv[2], L"w, ccs=UTF-16LE") != 0)
        return 0xFFFF;
    g_start = GetTickCount64();
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MsiSetExternalUIW(Record, 0xFFFFFFFF & ~INSTALLLOGMODE_VERBOSE, nullptr);
    const UINT result = MsiInstallProductW(argv[1], argc > 3 ? argv[3] : L"");
    fclose(g_messages);
    return static_cast<int>(result);
}
