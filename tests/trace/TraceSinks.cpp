#include "TraceSinks.h"

namespace
{
CTraceSinks* g_sinks = nullptr;
}

CTraceSinks::CTraceSinks()
{
    g_sinks = this;
    injector.Replace(
        "kernel32.dll", "AllocConsole", +[]() WINAPI -> BOOL { return ++g_sinks->consolesAllocated; });
    injector.Replace(
        "kernel32.dll", "GetStdHandle", +[](DWORD) WINAPI { return reinterpret_cast<HANDLE>(0x4242); });
    injector.Replace(
        "kernel32.dll", "WriteConsoleW",
        +[](HANDLE, const void* text, DWORD count, DWORD* written, void*) WINAPI -> BOOL {
            g_sinks->console.emplace_back(static_cast<const wchar_t*>(text), count);
            return (*written = count), TRUE;
        });
    injector.Replace(
        "kernel32.dll", "OutputDebugStringW",
        +[](LPCWSTR text) WINAPI { g_sinks->debugger.emplace_back(text); });
}

CTraceSinks::~CTraceSinks()
{
    g_sinks = nullptr;
}
