#include "firmware/CDeviceBios.h"
#include "trace/CTrace.h"

#define BIOS_TAG L"\nCDeviceBios         : "
#define BIOS_MAP_TAG L"\nCDeviceBios (Map)   : "

CDeviceBios::~CDeviceBios()
{
    TRACE(5, BIOS_TAG L"~CDeviceBios()");
    Disconnect();
}

void* CDeviceBios::MapPhysicalMemory(DWORD high, DWORD low, size_t length)
{
    if (m_mapped)
    {
        TRACE(2, BIOS_MAP_TAG L"## WARNING! Mapped physical memory already existing, will be unmapped!");
        UnmapPhysicalMemory();
        m_mapped = nullptr;
    }
    // The request carries a 32-bit length; a longer range cannot be asked for.
    if (length > MAXDWORD)
    {
        TRACE(1, BIOS_MAP_TAG L"## ERROR in MapPhysicalMemory()! Length 0x%llX exceeds 32 bits!",
              static_cast<unsigned long long>(length));
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    BiosMapRequest request{low, high, static_cast<DWORD>(length)};
    void* mapped = nullptr;
    DWORD returned = 0;
    TRACE(5, BIOS_MAP_TAG L"  map physical memory 0x%X:%05X size 0x%05X to user space...", high, low,
          request.length);
    if (!IoControl(kMapRequest, &returned, &request, sizeof(request), &mapped, sizeof(mapped)))
    {
        TRACE(1, BIOS_MAP_TAG L"## ERROR in MapPhysicalMemory()! IoControl failed (0x%08X)!", GetLastError());
        return nullptr;
    }
    if (returned != sizeof(mapped))
    {
        TRACE(1,
              BIOS_MAP_TAG L"## ERROR in MapPhysicalMemory()! Size of mapped address (%d bytes) not of "
                           L"pointer size!",
              returned);
        return nullptr;
    }
    m_mapped = mapped;
    TRACE(5, BIOS_MAP_TAG L"  -> mapped address = 0x%p", m_mapped);
    return m_mapped;
}

bool CDeviceBios::UnmapPhysicalMemory()
{
    if (!m_mapped)
    {
        return true;
    }
    m_mapped = nullptr;
    if (!IoControl(kUnmapRequest, nullptr, nullptr, 0, nullptr, 0))
    {
        TRACE(1, BIOS_MAP_TAG L"## ERROR in UnmapPhysicalMemory()! IoControl failed (0x%08X)!",
              GetLastError());
        return false;
    }
    return true;
}
