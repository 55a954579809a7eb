#include "TraceSinks.h"
#include <cstdarg>

namespace
{
CTraceSinks* g_sinks = nullptr;

BOOL WINAPI FakeAllocConsole()
{
    ++g_sinks->consolesAllocated;
    return TRUE;
}

HANDLE WINAPI FakeGetStdHandle(DWORD which)
{
    return which == STD_OUTPUT_HANDLE ? CTraceSinks::kConsole : INVALID_HANDLE_VALUE;
}

BOOL WINAPI FakeWriteConsoleW(HANDLE console, const void* text, DWORD count, DWORD* written, void*)
{
    if (console != CTraceSinks::kConsole)
    {
        return FALSE;
    }
    g_sinks->console.emplace_back(static_cast<const wchar_t*>(text), count);
    *written = count;
    return TRUE;
}

void WINAPI FakeOutputDebugStringW(LPCWSTR text)
{
    g_sinks->debugger.emplace_back(text);
}

int __cdecl CountingVscwprintf(const wchar_t* format, va_list args)
{
    ++g_sinks->formatCalls;
    using Real = int(__cdecl*)(const wchar_t*, va_list);
    return reinterpret_cast<Real>(CFaultInjector::Original("_vscwprintf"))(format, args);
}

int __cdecl CountingVsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args)
{
    ++g_sinks->formatCalls;
    using Real = int(__cdecl*)(wchar_t*, size_t, const wchar_t*, va_list);
    return reinterpret_cast<Real>(CFaultInjector::Original("_vsnwprintf"))(buffer, count, format, args);
}
} // namespace

CTraceSinks::CTraceSinks()
{
    g_sinks = this;
    injector.Replace("kernel32.dll", "AllocConsole", &FakeAllocConsole);
    injector.Replace("kernel32.dll", "GetStdHandle", &FakeGetStdHandle);
    injector.Replace("kernel32.dll", "WriteConsoleW", &FakeWriteConsoleW);
    injector.Replace("kernel32.dll", "OutputDebugStringW", &FakeOutputDebugStringW);
    injector.Replace("msvcrt.dll", "_vscwprintf", &CountingVscwprintf);
    injector.Replace("msvcrt.dll", "_vsnwprintf", &CountingVsnwprintf);
}

CTraceSinks::~CTraceSinks()
{
    g_sinks = nullptr;
}
