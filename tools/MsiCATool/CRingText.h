#pragma once
#include <string>

// The text of a memory-mapped ring file (its characters after the byte order mark). Once
// the ring has wrapped, the marker "\r\n[EOF]\r\n" follows the newest text and the oldest
// surviving text follows the marker. A ring still open in its writer is as long as its
// limit: zeros follow text never yet reached, and behind the last wrap point lies the
// unfinished copy of the text that did not fit.
class CRingText
{
  public:
    static constexpr wchar_t kMarker[] = L"\r\n[EOF]\r\n";
    static constexpr size_t kMarkerLength = 9;

    explicit CRingText(std::wstring text);

    bool HasMarker() const { return m_marker != std::wstring::npos; }
    // Where the next text goes: at the marker, or behind the text of a ring not yet wrapped.
    size_t NewestEnd() const;
    // The oldest surviving text, then the newest; a ring never wrapped reads as it is.
    std::wstring InTimeOrder() const;
    // The text written since an earlier read of the same ring found NewestEnd() at
    // newestEnd, across at most one wrap.
    std::wstring Since(size_t newestEnd) const;

  private:
    // Where text from position on ends: the next marker, zero character or the end.
    size_t TextEnd(size_t position) const;
    // Where the round before the newest one ended (its wrap point), behind position.
    size_t WrapPoint(size_t position) const;
    std::wstring Slice(size_t begin, size_t end) const;

    std::wstring m_text;
    size_t m_marker;
};
