#include "util/CMemoryPool.h"
#include <cstdint>
#include <cstring>
#include <new>

CMemoryPool::~CMemoryPool()
{
    Release();
}

void CMemoryPool::Release()
{
    void* block = m_data;
    Free(block);
    m_data = nullptr;
    m_size = 0;
    m_capacity = 0;
}

void* CMemoryPool::Alloc(uint64_t bytes)
{
    if (bytes > SIZE_MAX)
    {
        return nullptr;
    }
    return ::operator new(static_cast<size_t>(bytes), std::nothrow);
}

void CMemoryPool::Free(void*& block)
{
    if (block)
    {
        ::operator delete(block);
        block = nullptr;
    }
}

unsigned char* CMemoryPool::Insert(const unsigned char* position, const void* data, uint64_t count)
{
    const auto start = reinterpret_cast<uintptr_t>(m_data);
    const auto at = reinterpret_cast<uintptr_t>(position);
    if (!data || count == 0 || at < start || at - start > m_size || m_size + count < m_size)
    {
        return m_data;
    }
    const uint64_t offset = at - start;
    auto* grown = static_cast<unsigned char*>(Alloc(m_size + count));
    if (!grown)
    {
        return m_data;
    }
    if (offset)
    {
        memcpy(grown, m_data, static_cast<size_t>(offset));
    }
    memcpy(grown + offset, data, static_cast<size_t>(count));
    if (m_size > offset)
    {
        memcpy(grown + offset + count, m_data + offset, static_cast<size_t>(m_size - offset));
    }
    void* old = m_data;
    Free(old);
    m_data = grown;
    m_size += count;
    m_capacity = m_size;
    return m_data;
}

unsigned char* CMemoryPool::Append(const void* data, uint64_t count)
{
    return Insert(m_data + m_size, data, count);
}
