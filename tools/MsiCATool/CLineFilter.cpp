#include "CLineFilter.h"

#include <windows.h>

namespace
{
std::wstring LowerCase(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}
} // namespace

CLineFilter::CLineFilter(std::vector<std::wstring> markers, bool ignoreCase)
    : m_markers(std::move(markers)), m_ignoreCase(ignoreCase)
{
    for (std::wstring& marker : m_markers)
    {
        marker = m_ignoreCase ? LowerCase(marker) : marker;
    }
}

bool CLineFilter::Matches(const std::wstring& line) const
{
    const std::wstring searched = m_ignoreCase ? LowerCase(line) : line;
    for (const std::wstring& marker : m_markers)
    {
        if (searched.find(marker) != std::wstring::npos)
        {
            return true;
        }
    }
    return false;
}

std::wstring CLineFilter::Take(const std::wstring& text)
{
    if (m_markers.empty())
    {
        return text;
    }
    m_partial += text;
    std::wstring shown;
    size_t start = 0;
    for (size_t end; (end = m_partial.find(L'\n', start)) != std::wstring::npos; start = end + 1)
    {
        std::wstring line = m_partial.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r')
        {
            line.pop_back();
        }
        if (Matches(line))
        {
            shown += line + L"\r\n";
        }
    }
    m_partial.erase(0, start);
    return shown;
}

std::wstring CLineFilter::Finish()
{
    std::wstring line;
    line.swap(m_partial);
    return !m_markers.empty() && Matches(line) ? line + L"\r\n" : std::wstring();
}
