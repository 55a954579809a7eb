#include "trace/CRingFile.h"
#include "trace/TracePieces.h"
#include <cstring>

namespace
{
const wchar_t kEndMarker[] = L"\r\n[EOF]\r\n";
constexpr ULONGLONG kEndMarkerBytes = 9 * sizeof(wchar_t);
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
    memcpy(static_cast<BYTE*>(m_view.Get()) + m_writeOffset, bytes, static_cast<size_t>(count));
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
    ForEachTracePiece(line, [&](const wchar_t* text, size_t count) {
        Place(text, count * sizeof(wchar_t), true);
        return true;
    });
    if (m_wrapPoint != 0)
    {
        Place(kEndMarker, kEndMarkerBytes, false);
    }
    return true;
}
