#pragma once
#include <cstddef>
#include <cstdint>

// A growable byte buffer whose memory comes and goes through virtual operations, so that a
// derived pool can take it from elsewhere. Every insertion reallocates to the exact size.
class CMemoryPool
{
  public:
    CMemoryPool() = default;
    virtual ~CMemoryPool();
    CMemoryPool(const CMemoryPool&) = delete;
    CMemoryPool& operator=(const CMemoryPool&) = delete;

    virtual void* Alloc(uint64_t bytes);
    virtual void Free(void*& block);
    virtual void Lock() {}
    virtual void Unlock() {}

    // Inserts count bytes of data at position (inside the buffer or at its end) and returns
    // the buffer, which may have moved. Nothing changes for null data, a count of 0, a
    // position outside the buffer or a failed allocation: the old buffer is returned.
    unsigned char* Insert(const unsigned char* position, const void* data, uint64_t count);
    // Insert at the end.
    unsigned char* Append(const void* data, uint64_t count);

    unsigned char* Data() const { return m_data; }
    uint64_t Size() const { return m_size; }
    uint64_t Capacity() const { return m_capacity; }

  protected:
    void Release();

  private:
    unsigned char* m_data = nullptr;
    uint64_t m_size = 0;
    uint64_t m_capacity = 0;
};
