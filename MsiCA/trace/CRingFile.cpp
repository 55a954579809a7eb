#include "trace/CRingFile.h"
#include "trace/TracePieces.h"
#include <cstdint>
#include <cstring>

namespace
{
const wchar_t kEndMarker[] = L"\r\n[EOF]\r\n";
constexpr ULONGLONG kEndMarkerBytes = 9 * sizeof(wchar_t);

// Most pieces are short (a line end, the marker, a tag): copy those inline, with two
// possibly overlapping moves, instead of calling the CRT for every few bytes.
void CopyBytes(BYTE* target, const BYTE* source, size_t count)
{
    if (count >= 32)
    {
        memcpy(target, source, count);
    }
    else if (count >= 16)
    {
        __builtin_memcpy(target, source, 16);
        __builtin_memcpy(target + count - 16, source + count - 16, 16);
    }
    else if (count >= 8)
    {
        __builtin_memcpy(target, source, 8);
        __builtin_memcpy(target + count - 8, source + count - 8, 8);
    }
    else if (count >= 4)
    {
        __builtin_memcpy(target, source, 4);
        __builtin_memcpy(target + count - 4, source + count - 4, 4);
    }
    else
    {
        for (size_t i = 0; i < count; ++i)
        {
            target[i] = source[i];
        }
    }
}

// Copies characters of text into target up to the first line feed or the terminator, but
// at most capacity of them; complete tells whether the run ended within them. Scanning and
// copying share one pass of 16-byte loads. A load never reaches into the next page, which
// the string may not touch: near a page's end the characters go one at a time.
size_t CopyUntilLineEnd(BYTE* target, const wchar_t* text, size_t capacity, bool& complete)
{
    constexpr uintptr_t kPage = 4096;
    const __m128i lineFeeds = _mm_set1_epi16(L'\n');
    const __m128i zeros = _mm_setzero_si128();
    auto lineEndsIn = [&](__m128i chunk) {
        return _mm_or_si128(_mm_cmpeq_epi16(chunk, lineFeeds), _mm_cmpeq_epi16(chunk, zeros));
    };
    size_t copied = 0;
    // Two chunks a step while both lie inside the page and hold no line end.
    while (copied + 16 <= capacity &&
           (reinterpret_cast<uintptr_t>(text + copied) & (kPage - 1)) <= kPage - 32)
    {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + copied));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + copied + 8));
        if (_mm_movemask_epi8(_mm_or_si128(lineEndsIn(first), lineEndsIn(second))) != 0)
        {
            break;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + copied * 2), first);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + copied * 2 + 16), second);
        copied += 16;
    }
    while (copied + 8 <= capacity)
    {
        const wchar_t* chunkStart = text + copied;
        if ((reinterpret_cast<uintptr_t>(chunkStart) & (kPage - 1)) > kPage - 16)
        {
            if (*chunkStart == L'\n' || *chunkStart == L'\0')
            {
                complete = true;
                return copied;
            }
            __builtin_memcpy(target + copied * 2, chunkStart, 2);
            ++copied;
            continue;
        }
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunkStart));
        const int hits = _mm_movemask_epi8(lineEndsIn(chunk));
        if (hits != 0)
        {
            const size_t rest = static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits))) / 2;
            CopyBytes(target + copied * 2, reinterpret_cast<const BYTE*>(chunkStart), rest * 2);
            complete = true;
            return copied + rest;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + copied * 2), chunk);
        copied += 8;
    }
    for (; copied < capacity; ++copied)
    {
        if (text[copied] == L'\n' || text[copied] == L'\0')
        {
            complete = true;
            return copied;
        }
        __builtin_memcpy(target + copied * 2, text + copied, 2);
    }
    complete = text[copied] == L'\n' || text[copied] == L'\0';
    return copied;
}
} // namespace

CRingFile::~CRingFile()
{
    Reset();
}

void CRingFile::Reset()
{
    m_view.Reset();
    m_mapping.Reset();
    if (m_file)
    {
        // Keep exactly the bytes in use: up to the old text's end after a wrap, else up to
        // the newest text.
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(m_wrapPoint ? m_wrapPoint : m_writeOffset);
        if (SetFilePointerEx(m_file.Get(), end, nullptr, FILE_BEGIN))
        {
            SetEndOfFile(m_file.Get());
        }
        m_file.Reset();
    }
    m_writeOffset = m_startOffset = m_wrapPoint = m_limit = 0;
}

void CRingFile::Open(const wchar_t* path, ULONGLONG sizeLimit)
{
    m_file.Reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file)
    {
        return;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(m_file.Get(), &size);
    m_limit = sizeLimit;
    m_startOffset = 0;
    // The mapping extends a shorter file to the limit; it fails for a limit of 0 on an
    // empty file or one beyond the address space, and the ring then stays without view.
    m_mapping.Reset(CreateFileMappingW(m_file.Get(), nullptr, PAGE_READWRITE,
                                       static_cast<DWORD>(sizeLimit >> 32), static_cast<DWORD>(sizeLimit),
                                       nullptr));
    if (m_mapping)
    {
        m_view.Reset(MapViewOfFile(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    }
    m_writeOffset = static_cast<ULONGLONG>(size.QuadPart);
    if (size.QuadPart == 0 && m_view && m_limit >= 2)
    {
        BYTE* view = static_cast<BYTE*>(m_view.Get());
        view[0] = 0xFF;
        view[1] = 0xFE;
        m_writeOffset = m_startOffset = 2;
    }
}

void CRingFile::Place(const void* bytes, ULONGLONG count, bool advance)
{
    if (m_writeOffset + count > m_limit)
    {
        m_wrapPoint = m_writeOffset;
        m_writeOffset = m_startOffset;
    }
    // A piece longer than the whole ring keeps only what fits; nothing goes past the view.
    const ULONGLONG room = m_limit > m_writeOffset ? m_limit - m_writeOffset : 0;
    if (count > room)
    {
        count = room & ~ULONGLONG(1);
    }
    CopyBytes(static_cast<BYTE*>(m_view.Get()) + m_writeOffset, static_cast<const BYTE*>(bytes),
              static_cast<size_t>(count));
    if (advance)
    {
        m_writeOffset += count;
    }
}

bool CRingFile::Write(const wchar_t* path, ULONGLONG sizeLimit, const wchar_t* line)
{
    if (!m_file)
    {
        Open(path, sizeLimit);
    }
    if (!m_view)
    {
        return true;
    }
    static const wchar_t kLineEnd[] = L"\r\n";
    BYTE* view = static_cast<BYTE*>(m_view.Get());
    for (const wchar_t* run = line;;)
    {
        // A run that fits before the limit is copied while it is scanned; one that does not
        // is placed whole by the wrap rule.
        const ULONGLONG room = m_limit > m_writeOffset ? (m_limit - m_writeOffset) / sizeof(wchar_t) : 0;
        bool complete = false;
        const size_t copied =
            CopyUntilLineEnd(view + m_writeOffset, run, static_cast<size_t>(room), complete);
        const wchar_t* end = run + copied;
        if (complete)
        {
            m_writeOffset += copied * sizeof(wchar_t);
        }
        else
        {
            end = FindLineEnd(end);
            Place(run, static_cast<ULONGLONG>(end - run) * sizeof(wchar_t), true);
        }
        if (*end == L'\0')
        {
            break;
        }
        Place(kLineEnd, 2 * sizeof(wchar_t), true);
        run = end + 1;
    }
    if (m_wrapPoint != 0)
    {
        Place(kEndMarker, kEndMarkerBytes, false);
    }
    return true;
}
