#include "BiosDeviceStandIn.h"
#include "firmware/CDeviceBios.h"
#include "firmware/CSMBios.h"
#include <cstring>

namespace
{
CBiosDeviceStandIn* g_device = nullptr;

template <class Function>
Function* OriginalOf(const char* name, Function*)
{
    return reinterpret_cast<Function*>(CFaultInjector::Original(name));
}
} // namespace

CBiosDeviceStandIn::CBiosDeviceStandIn(CFaultInjector& injector)
{
    g_device = this;
    injector.Replace("kernel32.dll", "CreateFileW", &FakeCreateFileW);
    injector.Replace("kernel32.dll", "DeviceIoControl", &FakeDeviceIoControl);
    injector.Replace("kernel32.dll", "CloseHandle", &FakeCloseHandle);
}

CBiosDeviceStandIn::~CBiosDeviceStandIn()
{
    if (m_handle)
    {
        CloseHandle(m_handle);
    }
    g_device = nullptr;
}

void CBiosDeviceStandIn::WritePhysical(DWORD address, const std::vector<BYTE>& bytes)
{
    m_physical[address] = bytes;
}

void CBiosDeviceStandIn::WriteEntryPoint(DWORD shadowOffset, DWORD tableAddress, WORD tableLength,
                                         WORD structureCount, BYTE entryLength, bool goodChecksum)
{
    std::vector<BYTE> entry(entryLength > 0x1F ? entryLength : 0x1F, 0);
    memcpy(entry.data(), "_SM_", 4);
    entry[0x05] = entryLength;
    entry[0x06] = 2;
    entry[0x07] = 7;
    memcpy(&entry[0x10], "_DMI_", 5);
    memcpy(&entry[0x16], &tableLength, 2);
    memcpy(&entry[0x18], &tableAddress, 4);
    memcpy(&entry[0x1C], &structureCount, 2);
    entry[0x1E] = 0x27;
    BYTE sum = 0;
    for (size_t i = 0; i < entryLength && i < entry.size(); ++i)
    {
        sum = BYTE(sum + entry[i]);
    }
    entry[0x04] = BYTE(-sum + (goodChecksum ? 0 : 1));
    WritePhysical(CSMBios::kShadowAddress + shadowOffset, entry);
}

HANDLE WINAPI CBiosDeviceStandIn::FakeCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                                  LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                                  DWORD flags, HANDLE templateFile)
{
    CBiosDeviceStandIn& self = *g_device;
    if (!name || _wcsicmp(name, CDeviceBiosBase::kDeviceName) != 0)
    {
        return OriginalOf("CreateFileW", &CreateFileW)(name, access, share, security, disposition, flags,
                                                       templateFile);
    }
    self.m_opens.push_back({access, share, disposition, flags, security != nullptr, templateFile != nullptr});
    if (self.m_openError)
    {
        SetLastError(self.m_openError);
        return INVALID_HANDLE_VALUE;
    }
    // A real handle, so that a close reaching Windows does no harm.
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!self.m_handle)
    {
        self.m_handle = handle;
    }
    return handle;
}

BOOL WINAPI CBiosDeviceStandIn::FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize,
                                                    LPVOID output, DWORD outputSize, LPDWORD returned,
                                                    LPOVERLAPPED overlapped)
{
    CBiosDeviceStandIn& self = *g_device;
    if (!device || device != self.m_handle)
    {
        return OriginalOf("DeviceIoControl", &DeviceIoControl)(device, code, input, inputSize, output,
                                                               outputSize, returned, overlapped);
    }
    if (returned)
    {
        *returned = 0;
    }
    if (code == CDeviceBios::kMapRequest)
    {
        return self.Map(input, inputSize, output, outputSize, returned);
    }
    if (code == CDeviceBios::kUnmapRequest)
    {
        return self.Unmap(inputSize, outputSize, returned);
    }
    self.m_requests.push_back({code, 0, 0});
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL CBiosDeviceStandIn::Map(LPVOID input, DWORD inputSize, LPVOID output, DWORD outputSize, LPDWORD returned)
{
    if (inputSize != sizeof(BiosMapRequest) || outputSize < sizeof(void*) || !input || !output)
    {
        m_requests.push_back({CDeviceBios::kMapRequest, 0, 0});
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BiosMapRequest request;
    memcpy(&request, input, sizeof(request));
    m_requests.push_back({CDeviceBios::kMapRequest, request.addressLow, request.length});
    const auto failure = m_mapFailures.find(m_maps++);
    if (failure != m_mapFailures.end())
    {
        SetLastError(failure->second);
        return FALSE;
    }
    if (request.addressHigh != 0 || request.length == 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (m_mapping)
    {
        ++m_violations;
    }
    // The mapped range as physical memory holds it, zeros where nothing was written.
    std::vector<BYTE> range(request.length, 0);
    const ULONGLONG first = request.addressLow;
    const ULONGLONG last = first + request.length;
    for (const auto& block : m_physical)
    {
        const ULONGLONG blockFirst = block.first;
        const ULONGLONG blockLast = blockFirst + block.second.size();
        for (ULONGLONG address = blockFirst > first ? blockFirst : first;
             address < last && address < blockLast; ++address)
        {
            range[address - first] = block.second[address - blockFirst];
        }
    }
    m_mapping = std::make_unique<CPageEndBuffer>(range.size());
    void* mapped = m_mapping->Place(range);
    memcpy(output, &mapped, m_mapReplySize < sizeof(mapped) ? m_mapReplySize : sizeof(mapped));
    if (returned)
    {
        *returned = m_mapReplySize;
    }
    return TRUE;
}

BOOL CBiosDeviceStandIn::Unmap(DWORD inputSize, DWORD outputSize, LPDWORD returned)
{
    m_requests.push_back({CDeviceBios::kUnmapRequest, 0, 0});
    if (inputSize != 0 || outputSize != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!m_mapping)
    {
        ++m_violations;
    }
    m_mapping.reset();
    if (returned)
    {
        *returned = 0;
    }
    if (m_unmapError)
    {
        SetLastError(m_unmapError);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CBiosDeviceStandIn::FakeCloseHandle(HANDLE handle)
{
    CBiosDeviceStandIn& self = *g_device;
    const auto close = OriginalOf("CloseHandle", &CloseHandle);
    if (!handle || handle != self.m_handle)
    {
        return close(handle);
    }
    ++self.m_closes;
    self.m_handle = nullptr;
    // Closing the device releases what it mapped for the handle.
    self.m_mapping.reset();
    close(handle);
    if (self.m_closeError)
    {
        SetLastError(self.m_closeError);
        return FALSE;
    }
    return TRUE;
}
