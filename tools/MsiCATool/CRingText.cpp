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
    return Slice(oldest, WrapPoint(oldest)) + Slice(0, m_marker);
}

std::wstring CRingText::Since(size_t newestEnd) const
{
    const size_t now = NewestEnd();
    if (now >= newestEnd)
    {
        return Slice(newestEnd, now);
    }
    // Wrapped meanwhile: what was added behind the earlier end, then the new round.
    return Slice(newestEnd, WrapPoint(newestEnd)) + Slice(0, now);
}

size_t CRingText::WrapPoint(size_t position) const
{
    const size_t end = TextEnd(position);
    // A round that ends because a line end or the marker did not fit filled the ring up
    // to its last characters; the newest round then begins with either.
    if (m_text.compare(0, 2, L"\r\n") == 0 || m_text.compare(0, kMarkerLength, kMarker) == 0)
    {
        return end;
    }
    // Otherwise a line's text did not fit: the round ended with the line end before it,
    // and what was copied of the text up to the ring's end is no part of the trace.
    const size_t lineEnd = end >= position + 2 ? m_text.rfind(L"\r\n", end - 2) : std::wstring::npos;
    return lineEnd != std::wstring::npos && lineEnd >= position ? lineEnd + 2 : end;
}
