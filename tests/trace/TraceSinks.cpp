#include "TraceSinks.h"
#include <cstdarg>

namespace
{
CTraceSinks* g_sinks = nullptr;
int (*g_realLength)(const wchar_t*, va_list) = nullptr;
int (*g_realFormat)(wchar_t*, size_t, const wchar_t*, va_list) = nullptr;
} // namespace

CTraceSinks::CTraceSinks()
{
    g_sinks = this;
    injector.Replace(
        "kernel32.dll", "AllocConsole", +[]() WINAPI -> BOOL { return ++g_sinks->consolesAllocated; });
    injector.Replace(
        "kernel32.dll", "GetStdHandle", +[](DWORD) WINAPI { return kConsole; });
    injector.Replace(
        "kernel32.dll", "WriteConsoleW",
        +[](HANDLE, const void* text, DWORD count, DWORD* written, void*) WINAPI -> BOOL {
            g_sinks->console.emplace_back(static_cast<const wchar_t*>(text), count);
            return (*written = count), TRUE;
        });
    injector.Replace(
        "kernel32.dll", "OutputDebugStringW",
        +[](LPCWSTR text) WINAPI { g_sinks->debugger.emplace_back(text); });
    g_realLength = injector.Replace(
        "msvcrt.dll", "_vscwprintf", +[](const wchar_t* format, va_list args) {
            return ++g_sinks->formatCalls, g_realLength(format, args);
        });
    g_realFormat = injector.Replace(
        "msvcrt.dll", "_vsnwprintf", +[](wchar_t* buffer, size_t count, const wchar_t* format, va_list args) {
            return ++g_sinks->formatCalls, g_realFormat(buffer, count, format, args);
        });
}

CTraceSinks::~CTraceSinks()
{
    g_sinks = nullptr;
}
