#pragma once
#include <windows.h>
#include <algorithm>
#include <vector>

// Bytes placed so that they end exactly where committed memory ends: a PAGE_NOACCESS page
// follows, so any read past the last byte faults. Header-only, for benchmarks too.
class CPageEndBuffer
{
  public:
    // At least one page of room, rounded up to whole pages (4 KiB on every Windows for x64).
    explicit CPageEndBuffer(size_t capacity)
        : m_committed(std::max<size_t>(1, (capacity + kPage - 1) / kPage) * kPage)
    {
        m_base = static_cast<BYTE*>(
            VirtualAlloc(nullptr, m_committed + kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(End(), kPage, PAGE_NOACCESS, &old);
    }
    ~CPageEndBuffer() { VirtualFree(m_base, 0, MEM_RELEASE); }
    CPageEndBuffer(const CPageEndBuffer&) = delete;
    CPageEndBuffer& operator=(const CPageEndBuffer&) = delete;

    // Copies size bytes to the end of the committed memory and returns where they start
    // (null when they do not fit).
    BYTE* Place(const void* bytes, size_t size)
    {
        return m_base && size <= m_committed
                   ? std::copy_n(static_cast<const BYTE*>(bytes), size, End() - size) - size
                   : nullptr;
    }
    BYTE* Place(const std::vector<BYTE>& bytes) { return Place(bytes.data(), bytes.size()); }
    // The first byte that may not be read.
    BYTE* End() const { return m_base + m_committed; }

  private:
    static constexpr size_t kPage = 4096;
    size_t m_committed;
    BYTE* m_base = nullptr;
};
