#include "TraceCapture.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>

namespace
{
std::vector<std::wstring> g_messages;
std::wstring g_text;

void WINAPI CaptureDebugString(LPCWSTR text)
{
    g_messages.emplace_back(text);
    g_text += text;
}
} // namespace

CTraceCapture::CTraceCapture(DWORD level)
    : m_patch(TestedModule(), "kernel32.dll", "OutputDebugStringW",
              reinterpret_cast<void*>(&CaptureDebugString))
{
    EXPECT_TRUE(m_patch.Applied());
    m_application.SetDword(L"WinDebugLevel", level);
    g_Trace.ReadConfig();
    Clear();
}

CTraceCapture::~CTraceCapture()
{
    DeleteKeyTree(L"SOFTWARE\\Debug");
    g_Trace.ReadConfig();
}

const std::wstring& CTraceCapture::Text() const
{
    return g_text;
}

size_t CTraceCapture::Count(const std::wstring& text) const
{
    size_t count = 0;
    for (const auto& message : g_messages)
        count += message.find(text) != std::wstring::npos;
    return count;
}

bool CTraceCapture::InOrder(const std::vector<std::wstring>& texts) const
{
    size_t next = 0;
    for (const auto& message : g_messages)
        next += next < texts.size() && message.find(texts[next]) != std::wstring::npos;
    return next == texts.size();
}

void CTraceCapture::Clear()
{
    g_messages.clear();
    g_text.clear();
}
