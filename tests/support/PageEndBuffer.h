#pragma once
#include <windows.h>
#include <cstring>
#include <vector>

// Bytes placed so that they end exactly where committed memory ends: a PAGE_NOACCESS page
// follows, so any read past the last byte faults. Header-only, for benchmarks too.
class CPageEndBuffer
{
  public:
    explicit CPageEndBuffer(size_t capacity)
    {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        const size_t page = system.dwPageSize;
        m_committed = (capacity + page - 1) / page * page;
        if (m_committed == 0)
        {
            m_committed = page;
        }
        m_base = static_cast<BYTE*>(
            VirtualAlloc(nullptr, m_committed + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (m_base)
        {
            VirtualProtect(m_base + m_committed, page, PAGE_NOACCESS, &old);
        }
    }
    ~CPageEndBuffer()
    {
        if (m_base)
        {
            VirtualFree(m_base, 0, MEM_RELEASE);
        }
    }
    CPageEndBuffer(const CPageEndBuffer&) = delete;
    CPageEndBuffer& operator=(const CPageEndBuffer&) = delete;

    // Copies size bytes to the end of the committed memory and returns where they start
    // (null when they do not fit).
    BYTE* Place(const void* bytes, size_t size)
    {
        if (!m_base || size > m_committed)
        {
            return nullptr;
        }
        BYTE* start = End() - size;
        if (size)
        {
            memcpy(start, bytes, size);
        }
        return start;
    }
    BYTE* Place(const std::vector<BYTE>& bytes) { return Place(bytes.data(), bytes.size()); }
    // The first byte that may not be read.
    BYTE* End() const { return m_base + m_committed; }
    size_t Capacity() const { return m_committed; }

  private:
    BYTE* m_base = nullptr;
    size_t m_committed = 0;
};
