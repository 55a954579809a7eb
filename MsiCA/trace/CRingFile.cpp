#include "trace/CRingFile.h"
#include "trace/CTraceFile.h"
#include "util/UnlinkedFile.h"
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace
{
static_assert(sizeof(wchar_t) == 2, "the ring holds UTF-16 code units");

const wchar_t kEndMarker[] = L"\r\n[EOF]\r\n";
constexpr ULONGLONG kEndMarkerBytes = 9 * sizeof(wchar_t);
const wchar_t kLineEnd[] = L"\r\n";
constexpr ULONGLONG kByteOrderMarkBytes = 2;

bool HasByteOrderMark(const BYTE* bytes, ULONGLONG size)
{
    return size >= kByteOrderMarkBytes && bytes[0] == 0xFF && bytes[1] == 0xFE;
}

// The marker's offset in [from, to), or to when there is none.
ULONGLONG FindEndMarker(const BYTE* bytes, ULONGLONG from, ULONGLONG to)
{
    for (ULONGLONG at = from; at + kEndMarkerBytes <= to; at += sizeof(wchar_t))
    {
        if (bytes[at] == '\r' && memcmp(bytes + at, kEndMarker, kEndMarkerBytes) == 0)
        {
            return at;
        }
    }
    return to;
}

// The text of a ring file larger than the ring, oldest first (behind its marker, then up to
// it), cut to its newest keep bytes.
bool ReadNewestText(HANDLE file, ULONGLONG keep, std::vector<BYTE>& text)
{
    CKernelHandle mapping(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    CMappedView view(mapping ? MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    LARGE_INTEGER size{};
    if (!view || !GetFileSizeEx(file, &size))
    {
        return false;
    }
    const BYTE* bytes = static_cast<const BYTE*>(view.Get());
    const ULONGLONG end = static_cast<ULONGLONG>(size.QuadPart);
    const ULONGLONG start = HasByteOrderMark(bytes, end) ? kByteOrderMarkBytes : 0;
    const ULONGLONG marker = FindEndMarker(bytes, start, end);
    if (marker < end)
    {
        text.assign(bytes + marker + kEndMarkerBytes, bytes + end);
    }
    text.insert(text.end(), bytes + start, bytes + marker);
    const size_t kept = static_cast<size_t>(text.size() < keep ? text.size() : keep) & ~size_t(1);
    text.erase(text.begin(), text.end() - static_cast<std::ptrdiff_t>(kept));
    return true;
}

// Whether none of the eight characters at text is a line feed or a terminator: SSE2 where
// the target has it (every x64 compiler), else two 64-bit words tested lane by lane.
bool EightPlainCharacters(const wchar_t* text)
{
#if defined(__SSE2__) || defined(_M_X64)
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i stops = _mm_or_si128(_mm_cmpeq_epi16(chunk, _mm_set1_epi16(L'\n')),
                                       _mm_cmpeq_epi16(chunk, _mm_setzero_si128()));
    return _mm_movemask_epi8(stops) == 0;
#else
    constexpr uint64_t kOnes = 0x0001000100010001ull;
    constexpr uint64_t kHighs = 0x8000800080008000ull;
    const auto stops = [](uint64_t word) {
        const uint64_t feeds = word ^ (kOnes * L'\n');
        return (((word - kOnes) & ~word) | ((feeds - kOnes) & ~feeds)) & kHighs;
    };
    uint64_t words[2];
    memcpy(words, text, sizeof(words));
    return (stops(words[0]) | stops(words[1])) == 0;
#endif
}

// Stores text up to its terminator, but at most length characters, as the ring holds it
// (each line feed as "\r\n") and returns the bytes stored. Loads stay within length.
size_t StoreLine(BYTE* target, const wchar_t* text, size_t length)
{
    BYTE* out = target;
    size_t i = 0;
    while (i < length)
    {
        while (i + 8 <= length && EightPlainCharacters(text + i))
        {
            memcpy(out, text + i, 8 * sizeof(wchar_t));
            out += 8 * sizeof(wchar_t);
            i += 8;
        }
        if (i == length)
        {
            break;
        }
        const wchar_t c = text[i++];
        if (c == L'\0')
        {
            break;
        }
        if (c == L'\n')
        {
            memcpy(out, kLineEnd, 2 * sizeof(wchar_t));
            out += 2 * sizeof(wchar_t);
        }
        else
        {
            memcpy(out, &c, sizeof(wchar_t));
            out += sizeof(wchar_t);
        }
    }
    return static_cast<size_t>(out - target);
}
} // namespace

CRingFile::~CRingFile()
{
    Reset();
}

ULONGLONG CRingFile::UsedEnd() const
{
    if (m_wrapPoint == 0)
    {
        return m_writeOffset;
    }
    // After a wrap the newest text may have run past the old wrap point; the marker stays.
    const ULONGLONG markerEnd = m_writeOffset + kEndMarkerBytes;
    const ULONGLONG end = markerEnd > m_wrapPoint ? markerEnd : m_wrapPoint;
    return end < m_limit ? end : m_limit;
}

void CRingFile::Reset()
{
    const ULONGLONG end = UsedEnd();
    const bool written = m_view.IsValid();
    m_view.Reset();
    m_mapping.Reset();
    if (m_file && written)
    {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(end);
        if (SetFilePointerEx(m_file.Get(), at, nullptr, FILE_BEGIN))
        {
            SetEndOfFile(m_file.Get());
        }
    }
    m_file.Reset();
    m_writeOffset = m_startOffset = m_wrapPoint = m_limit = 0;
}

void CRingFile::Open(const wchar_t* path, ULONGLONG sizeLimit)
{
    if (sizeLimit < kByteOrderMarkBytes)
    {
        return; // no room for any text
    }
    const wchar_t* why = nullptr;
    m_file.Reset(CreateUnlinkedFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, &why));
    if (!m_file)
    {
        ReportRefusedTraceFile(path, why, m_refusalReported);
        return;
    }
    LARGE_INTEGER fileSize{};
    GetFileSizeEx(m_file.Get(), &fileSize);
    ULONGLONG size = static_cast<ULONGLONG>(fileSize.QuadPart);
    m_limit = sizeLimit;
    // A ring made under a larger limit starts again with its newest text, in order.
    std::vector<BYTE> kept;
    if (size > sizeLimit)
    {
        if (!ReadNewestText(m_file.Get(), sizeLimit - kByteOrderMarkBytes, kept))
        {
            return; // left as it is, without view
        }
        SetFilePointerEx(m_file.Get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN);
        SetEndOfFile(m_file.Get());
        size = 0;
    }
    // The mapping extends a shorter file to the limit; it fails for a limit beyond the
    // address space, and the ring then stays without view.
    m_mapping.Reset(CreateFileMappingW(m_file.Get(), nullptr, PAGE_READWRITE,
                                       static_cast<DWORD>(sizeLimit >> 32), static_cast<DWORD>(sizeLimit),
                                       nullptr));
    if (m_mapping)
    {
        m_view.Reset(MapViewOfFile(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    if (!m_view)
    {
        return;
    }
    BYTE* view = static_cast<BYTE*>(m_view.Get());
    if (size == 0)
    {
        view[0] = 0xFF;
        view[1] = 0xFE;
        memcpy(view + kByteOrderMarkBytes, kept.data(), kept.size());
        size = kByteOrderMarkBytes + kept.size();
    }
    // Never write over the mark; continue right behind the newest text, which ends at the
    // marker once the ring has wrapped.
    m_startOffset = HasByteOrderMark(view, size) ? kByteOrderMarkBytes : 0;
    const ULONGLONG marker = FindEndMarker(view, m_startOffset, size);
    // A ring left at its full size by a process that died holds zeros behind its text.
    const ULONGLONG textStart = marker < size ? marker + kEndMarkerBytes : m_startOffset;
    while (size >= textStart + sizeof(wchar_t) && view[size - 1] == 0 && view[size - 2] == 0)
    {
        size -= sizeof(wchar_t);
    }
    m_writeOffset = marker < size ? marker : size + (size & 1);
    m_wrapPoint = marker < size ? size : 0;
}

void CRingFile::Place(const void* bytes, ULONGLONG count, bool advance)
{
    // A piece longer than the whole ring keeps its newest part.
    const ULONGLONG ring = m_limit > m_startOffset ? (m_limit - m_startOffset) & ~ULONGLONG(1) : 0;
    if (count > ring)
    {
        bytes = static_cast<const BYTE*>(bytes) + (count - ring);
        count = ring;
    }
    if (m_writeOffset + count > m_limit)
    {
        // Zeros behind the wrap point: a reader of the open ring, or of one whose process
        // died before its unload, finds the old round's end there.
        memset(static_cast<BYTE*>(m_view.Get()) + m_writeOffset, 0,
               static_cast<size_t>(m_limit - m_writeOffset));
        m_wrapPoint = m_writeOffset;
        m_writeOffset = m_startOffset;
    }
    memcpy(static_cast<BYTE*>(m_view.Get()) + m_writeOffset, bytes, static_cast<size_t>(count));
    if (advance)
    {
        m_writeOffset += count;
    }
}

// Near the ring's end: each piece is placed by the wrap rule before it is copied, so that no
// part of it is left behind the wrap point.
void CRingFile::PlacePieces(const wchar_t* line, size_t length)
{
    for (size_t run = 0;;)
    {
        size_t end = run;
        while (end < length && line[end] != L'\n' && line[end] != L'\0')
        {
            ++end;
        }
        if (end > run)
        {
            Place(line + run, (end - run) * sizeof(wchar_t), true);
        }
        if (end == length || line[end] == L'\0')
        {
            return;
        }
        Place(kLineEnd, 2 * sizeof(wchar_t), true);
        run = end + 1;
    }
}

bool CRingFile::Write(const wchar_t* path, ULONGLONG sizeLimit, const wchar_t* line, size_t length)
{
    if (!m_file)
    {
        Open(path, sizeLimit);
    }
    if (!m_view)
    {
        return true;
    }
    // A character takes at most four bytes (a line feed becomes "\r\n"): a line that surely
    // fits before the ring's end is stored in one pass.
    if (m_writeOffset <= m_limit && 4 * static_cast<ULONGLONG>(length) <= m_limit - m_writeOffset)
    {
        m_writeOffset += StoreLine(static_cast<BYTE*>(m_view.Get()) + m_writeOffset, line, length);
    }
    else
    {
        PlacePieces(line, length);
    }
    if (m_wrapPoint != 0 && m_writeOffset + kEndMarkerBytes <= m_limit)
    {
        memcpy(static_cast<BYTE*>(m_view.Get()) + m_writeOffset, kEndMarker, kEndMarkerBytes);
    }
    else if (m_wrapPoint != 0)
    {
        Place(kEndMarker, kEndMarkerBytes, false);
    }
    return true;
}

bool CRingFile::Write(const wchar_t* path, ULONGLONG sizeLimit, const wchar_t* line)
{
    return Write(path, sizeLimit, line, wcslen(line));
}
