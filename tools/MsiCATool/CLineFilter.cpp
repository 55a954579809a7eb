#include "CLineFilter.h"

CLineFilter::CLineFilter(std::vector<std::wstring> markers) : m_markers(std::move(markers))
{
}

bool CLineFilter::Matches(const std::wstring& line) const
{
    for (const std::wstring& marker : m_markers)
    {
        if (line.find(marker) != std::wstring::npos)
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
