#pragma once
#include <windows.h>
#include <winsvc.h>
#include <memory>

// The dependents of a service as EnumDependentServicesW returns them. Owns the block that
// holds the records and the strings they point to.
class DependentList
{
  public:
    DependentList() = default;
    DependentList(std::unique_ptr<BYTE[]> block, DWORD count) : m_block(std::move(block)), m_count(count) {}

    DWORD Count() const { return m_count; }
    bool Empty() const { return m_count == 0; }
    const ENUM_SERVICE_STATUSW& operator[](DWORD index) const
    {
        return reinterpret_cast<const ENUM_SERVICE_STATUSW*>(m_block.get())[index];
    }

  private:
    std::unique_ptr<BYTE[]> m_block;
    DWORD m_count = 0;
};
