#include "TraceCapture.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>

namespace
{
std::vector<std::wstring> g_lines;
std::wstring g_text;
} // namespace

void WINAPI CTraceCapture::FakeOutputDebugStringW(LPCWSTR text)
{
    std::wstring line = text;
    g_text += line;
    if (!line.empty() && line.back() == L'\n')
    {
        line.pop_back();
    }
    g_lines.push_back(line);
}

CTraceCapture::CTraceCapture(DWORD level)
    : m_global(L"SOFTWARE\\Debug"), m_application(L"SOFTWARE\\Debug\\MsiCA"),
      m_patch(TestedModule(), "kernel32.dll", "OutputDebugStringW",
              reinterpret_cast<void*>(&FakeOutputDebugStringW))
{
    EXPECT_TRUE(m_patch.Applied());
    m_application.SetDword(L"WinDebugLevel", level);
    g_Trace.ReadConfig();
    Clear();
}

CTraceCapture::~CTraceCapture()
{
    m_application.DeleteValue(L"WinDebugLevel");
    DeleteKeyTree(L"SOFTWARE\\Debug");
    g_Trace.ReadConfig();
}

std::wstring CTraceCapture::Text() const
{
    return g_text;
}

const std::vector<std::wstring>& CTraceCapture::Lines() const
{
    return g_lines;
}

bool CTraceCapture::Contains(const std::wstring& text) const
{
    return g_text.find(text) != std::wstring::npos;
}

size_t CTraceCapture::Count(const std::wstring& text) const
{
    size_t count = 0;
    for (const auto& line : g_lines)
    {
        if (line.find(text) != std::wstring::npos)
        {
            ++count;
        }
    }
    return count;
}

bool CTraceCapture::InOrder(const std::vector<std::wstring>& texts) const
{
    size_t next = 0;
    for (const auto& line : g_lines)
    {
        if (next < texts.size() && line.find(texts[next]) != std::wstring::npos)
        {
            ++next;
        }
    }
    return next == texts.size();
}

void CTraceCapture::Clear()
{
    g_lines.clear();
    g_text.clear();
}
