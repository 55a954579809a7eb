#include "CRingText.h"
#include <algorithm>

CRingText::CRingText(std::wstring text) : m_text(std::move(text)), m_marker(m_text.find(kMarker))
{
}

size_t CRingText::TextEnd(size_t position) const
{
    position = std::min(position, m_text.size());
    const size_t marker = m_text.find(kMarker, position);
    const size_t zero = m_text.find(L'\0', position);
    return std::min({marker, zero, m_text.size()});
}

std::wstring CRingText::Slice(size_t begin, size_t end) const
{
    begin = std::min(begin, m_text.size());
    return begin < end ? m_text.substr(begin, end - begin) : std::wstring();
}

size_t CRingText::NewestEnd() const
{
    return HasMarker() ? m_marker : TextEnd(0);
}

std::wstring CRingText::InTimeOrder() const
{
    if (!HasMarker())
    {
        return Slice(0, TextEnd(0));
    }
    const size_t oldest = m_marker + kMarkerLength;
    return Slice(oldest, TextEnd(oldest)) + Slice(0, m_marker);
}

std::wstring CRingText::Since(size_t newestEnd) const
{
    const size_t now = NewestEnd();
    if (now >= newestEnd)
    {
        return Slice(newestEnd, now);
    }
    // Wrapped meanwhile: what was added behind the earlier end, then the new round.
    return Slice(newestEnd, TextEnd(newestEnd)) + Slice(0, now);
}
