#pragma once
#include "support/FaultInjection.h"
#include "support/PageEndBuffer.h"
#include <map>
#include <memory>
#include <vector>

// The board driver's BIOS device for the code under test: CreateFileW of its name, the
// map and unmap requests of DeviceIoControl and CloseHandle of its handle are answered
// here. Physical memory is a sparse set of byte blocks (zeros elsewhere); each mapping
// is a fresh copy ending right before a no-access page and freed when released, so a read
// past a mapping or after its release faults.
class CBiosDeviceStandIn
{
  public:
    struct Request
    {
        DWORD code;
        DWORD address; // map only
        DWORD length;  // map only
        bool operator==(const Request& other) const
        {
            return code == other.code && address == other.address && length == other.length;
        }
    };
    struct OpenCall
    {
        DWORD access, share, disposition, flags;
        bool securityAttributes, templateFile;
    };

    explicit CBiosDeviceStandIn(CFaultInjector& injector);
    ~CBiosDeviceStandIn();
    CBiosDeviceStandIn(const CBiosDeviceStandIn&) = delete;
    CBiosDeviceStandIn& operator=(const CBiosDeviceStandIn&) = delete;

    void WritePhysical(DWORD address, const std::vector<BYTE>& bytes);
    // An SMBIOS 2.1 entry point of entryLength bytes at E0000h + shadowOffset, its checksum
    // made right unless told otherwise.
    void WriteEntryPoint(DWORD shadowOffset, DWORD tableAddress, WORD tableLength, WORD structureCount,
                         BYTE entryLength = 0x1F, bool goodChecksum = true);

    void FailOpen(DWORD error) { m_openError = error; }
    void FailClose(DWORD error) { m_closeError = error; }
    // The nth map request (counting from 0) fails with error.
    void FailMap(size_t nth, DWORD error) { m_mapFailures[nth] = error; }
    void FailUnmap(DWORD error) { m_unmapError = error; }
    // How many bytes the map reply reports (8 is right for a 64-bit process).
    void SetMapReplySize(DWORD bytes) { m_mapReplySize = bytes; }

    const std::vector<Request>& Requests() const { return m_requests; }
    const std::vector<OpenCall>& Opens() const { return m_opens; }
    unsigned Closes() const { return m_closes; }
    bool IsOpen() const { return m_handle != nullptr; }
    bool HoldsMapping() const { return m_mapping != nullptr; }
    // Requests that break the one-mapping-per-handle rule: a map while one is held, an
    // unmap while none is.
    unsigned ProtocolViolations() const { return m_violations; }

  private:
    static HANDLE WINAPI FakeCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                         LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                         HANDLE templateFile);
    static BOOL WINAPI FakeDeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize,
                                           LPVOID output, DWORD outputSize, LPDWORD returned,
                                           LPOVERLAPPED overlapped);
    static BOOL WINAPI FakeCloseHandle(HANDLE handle);
    BOOL Map(LPVOID input, DWORD inputSize, LPVOID output, DWORD outputSize, LPDWORD returned);
    BOOL Unmap(DWORD inputSize, DWORD outputSize, LPDWORD returned);

    std::map<DWORD, std::vector<BYTE>> m_physical;
    HANDLE m_handle = nullptr;
    std::unique_ptr<CPageEndBuffer> m_mapping;
    std::vector<Request> m_requests;
    std::vector<OpenCall> m_opens;
    std::map<size_t, DWORD> m_mapFailures;
    size_t m_maps = 0;
    unsigned m_closes = 0;
    unsigned m_violations = 0;
    DWORD m_openError = 0;
    DWORD m_closeError = 0;
    DWORD m_unmapError = 0;
    DWORD m_mapReplySize = 8;
};
