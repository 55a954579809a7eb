#include "TraceCapture.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <numeric>

namespace
{
CTraceCapture* g_capture = nullptr;
}

CTraceCapture::CTraceCapture(DWORD level)
{
    g_capture = this;
    const auto patch = [this](const char* function, void* fake) {
        m_patches.push_back(std::make_unique<CImportPatch>(TestedModule(), "kernel32.dll", function, fake));
        EXPECT_TRUE(m_patches.back()->Applied()) << function;
    };
    patch("AllocConsole",
          reinterpret_cast<void*>(+[]() WINAPI -> BOOL { return ++g_capture->consolesAllocated; }));
    patch("GetStdHandle",
          reinterpret_cast<void*>(+[](DWORD) WINAPI { return reinterpret_cast<HANDLE>(0x4242); }));
    patch("WriteConsoleW", reinterpret_cast<void*>(+[](HANDLE, const void* text, DWORD count, DWORD* written,
                                                       void*) WINAPI -> BOOL {
              g_capture->console.emplace_back(static_cast<const wchar_t*>(text), count);
              *written = count;
              return TRUE;
          }));
    patch("OutputDebugStringW",
          reinterpret_cast<void*>(+[](LPCWSTR text) WINAPI { g_capture->debugger.emplace_back(text); }));
    if (level == 0)
        return;
    m_registry.emplace();
    m_registry->application.SetDword(L"WinDebugLevel", level);
    g_Trace.ReadConfig();
    Clear();
}

CTraceCapture::~CTraceCapture()
{
    m_patches.clear();
    g_capture = nullptr;
    if (!m_registry)
        return;
    m_registry.reset();
    g_Trace.ReadConfig();
}

std::wstring CTraceCapture::Text() const
{
    return std::accumulate(debugger.begin(), debugger.end(), std::wstring());
}

size_t CTraceCapture::Count(const std::wstring& text) const
{
    size_t count = 0;
    for (const auto& message : debugger)
        count += message.find(text) != std::wstring::npos;
    return count;
}

bool CTraceCapture::InOrder(const std::vector<std::wstring>& texts) const
{
    size_t next = 0;
    for (const auto& message : debugger)
        next += next < texts.size() && message.find(texts[next]) != std::wstring::npos;
    return next == texts.size();
}
