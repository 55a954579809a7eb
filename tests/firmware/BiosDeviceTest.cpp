#include "firmware/CDeviceBios.h"
#include "firmware/CSMBios.h"
#include "support/FakeFirmwareTable.h"
#include "support/PageEndBuffer.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <array>
#include <memory>
#include <numeric>

namespace
{
using Request = std::array<DWORD, 3>; // code, physical address, length (both 0 for an unmap)
constexpr DWORD kMap = CDeviceBios::kMapRequest, kUnmap = CDeviceBios::kUnmapRequest;
constexpr DWORD kShadow = CSMBios::kShadowAddress, kShadowSize = CSMBios::kShadowSize, kTable = 0x7F6E0000;

// The board driver's BIOS device, answering CreateFileW and DeviceIoControl of the code
// under test: it accepts only its own name and the parameters it expects. Physical
// memory is a set of byte blocks; a map request gets the block at its address, cut or
// padded with zeros to its length, as a fresh copy ending right before a no-access page
// and freed when released, so a read past a mapping or after its release faults. A map
// while a mapping is held breaks the device's one mapping per handle: it is refused.
struct CBiosDevice
{
    std::map<DWORD, std::vector<BYTE>> physical;
    std::vector<Request> requests;  // an open as {0, 0, 0}
    std::map<size_t, DWORD> errors; // by the request's number in requests
    DWORD replySize = 8;
    HANDLE handle = nullptr;
    std::unique_ptr<CPageEndBuffer> mapping;
    static inline CBiosDevice* s_device = nullptr;

    explicit CBiosDevice(CFaultInjector& injector)
    {
        s_device = this;
        injector.Replace("kernel32.dll", "CreateFileW", &Open);
        injector.Replace("kernel32.dll", "DeviceIoControl", &Control);
    }
    // Records a request and leaves the error set for it in GetLastError (0 for none).
    bool Refused(const Request& request, bool wellFormed)
    {
        requests.push_back(request);
        SetLastError(wellFormed ? errors[requests.size() - 1] : ERROR_INVALID_PARAMETER);
        return GetLastError() != 0;
    }
    static HANDLE WINAPI Open(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model)
    {
        const bool expected = !_wcsicmp(name, CDeviceBiosBase::kDeviceName) && access == GENERIC_READ &&
                              share == (FILE_SHARE_READ | FILE_SHARE_WRITE) && !security &&
                              disposition == OPEN_EXISTING && flags == FILE_ATTRIBUTE_NORMAL && !model;
        return s_device->Refused({0, 0, 0}, expected)
                   ? INVALID_HANDLE_VALUE
                   : s_device->handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    static BOOL WINAPI Control(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                               DWORD outputSize, LPDWORD returned, LPOVERLAPPED overlapped)
    {
        CBiosDevice& self = *s_device;
        const auto* request = static_cast<const BiosMapRequest*>(input);
        const bool map = code == kMap && input && inputSize == 12 && output && outputSize == 8;
        const bool unmap = code == kUnmap && !input && !inputSize && !output && !outputSize;
        if (unmap)
            self.mapping.reset();
        if (self.Refused({code, map ? request->addressLow : 0, map ? request->length : 0},
                         ((map && !self.mapping) || unmap) && device == self.handle && !overlapped) ||
            unmap)
        {
            return !GetLastError();
        }
        // A reply of the wrong size maps nothing.
        if (self.replySize == 8)
        {
            std::vector<BYTE> range = self.physical[request->addressLow];
            range.resize(request->length);
            self.mapping = std::make_unique<CPageEndBuffer>(range.size());
            void* mapped = self.mapping->Place(range);
            memcpy(output, &mapped, sizeof(mapped));
        }
        *returned = self.replySize;
        return TRUE;
    }
};
} // namespace

TEST(BiosDevice, HoldsOneMappingAndEveryFailureLeavesItConnectedWithNothingMapped)
{
    CFaultInjector injector;
    CBiosDevice device(injector);
    const std::vector<BYTE> bytes = SmbiosTestData(L"jcreek-dmi.0");
    device.physical = {{0x1000, bytes}, {0x1080, {1, 2, 3}}};
    CTraceCapture trace(5);
    {
        CDeviceBios bios;
        ASSERT_TRUE(bios.Connect() && bios.Connect());
        const auto* first = static_cast<const BYTE*>(bios.MapPhysicalMemory(0, 0x1000, 0x100));
        ASSERT_NE(nullptr, first);
        EXPECT_TRUE(std::equal(first, first + 0x100, bytes.begin()));
        // A second map without an unmap: the first released, then requested.
        const auto* second = static_cast<const BYTE*>(bios.MapPhysicalMemory(0, 0x1080, 0x10));
        ASSERT_NE(nullptr, second);
        EXPECT_EQ(2, second[1]);
        EXPECT_EQ(
            (std::vector<Request>{{0, 0, 0}, {kMap, 0x1000, 0x100}, {kUnmap, 0, 0}, {kMap, 0x1080, 0x10}}),
            device.requests);

        // A refused re-map, a refused unmap, a reply of 4 bytes: each leaves it connected with
        // nothing mapped (nothing to release again), an error line and the device's error in
        // GetLastError.
        device.errors = {{5, ERROR_GEN_FAILURE}, {7, ERROR_NOT_READY}};
        EXPECT_TRUE(!bios.MapPhysicalMemory(0, 0x1000, 0x10) && GetLastError() == ERROR_GEN_FAILURE);
        EXPECT_EQ(nullptr, bios.MappedAddress());
        ASSERT_NE(nullptr, bios.MapPhysicalMemory(0, 0x1000, 0x10));
        EXPECT_TRUE(!bios.UnmapPhysicalMemory() && GetLastError() == ERROR_NOT_READY);
        EXPECT_TRUE(bios.UnmapPhysicalMemory());
        device.replySize = 4;
        EXPECT_TRUE(!bios.MapPhysicalMemory(0, 0x1000, 0x10) && !bios.MappedAddress() && bios.IsConnected());
        EXPECT_EQ(3u, trace.Count(L"## ERROR in "));
        device.replySize = 8;
        ASSERT_NE(nullptr, bios.MapPhysicalMemory(0, 0x1000, 0x10));
    }
    // Destruction released the mapping while still a CDeviceBios, then closed the device.
    EXPECT_EQ(11u, device.requests.size());
    EXPECT_EQ((Request{kUnmap, 0, 0}), device.requests.back());
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(device.handle, &flags));
}

TEST(SMBiosShadow, TheFirstEntryPointOnAParagraphDecidesAndEveryFailureReleasesTheDevice)
{
    // Operating system data with a wrong length field, rejected: the shadow search runs.
    std::vector<BYTE> rsmb = SmbiosTestData(L"jcreek-dmi.0");
    const std::vector<BYTE> table(rsmb.begin() + 8, rsmb.end());
    rsmb[4] ^= 1;
    // Writes an SMBIOS 2.1 entry point to shadow memory: 76 structures announced (77 are there).
    const auto entry = [&](std::vector<BYTE>& shadow, size_t offset, DWORD address, BYTE length,
                           bool goodChecksum) {
        BYTE bytes[0x40] = {'_', 'S', 'M', '_', 0, length, 2, 7};
        const WORD tableLength = WORD(table.size());
        memcpy(&bytes[0x16], &tableLength, 2);
        memcpy(&bytes[0x18], &address, 4);
        bytes[0x1C] = 76;
        bytes[4] = BYTE(!goodChecksum - std::accumulate(bytes, bytes + length, 0));
        shadow.resize(std::max(shadow.size(), offset + sizeof(bytes)));
        std::copy(bytes, bytes + sizeof(bytes), shadow.begin() + offset);
    };
    // error (null: the table is found), anchors found, entry point offset, table address, the
    // request that fails (0 the open, 1 the shadow map, 3 the table map), length, checksum good.
    using Case = std::tuple<const wchar_t*, size_t, DWORD, DWORD, size_t, BYTE, bool>;
    const DWORD kLast = kShadowSize - 16;
    const wchar_t* const kNotFound = L"No SMBIOS structures found!";
    const Case cases[] = {
        // Found past the '_'s below; found in the last paragraph searched.
        {nullptr, 1, 0x1A30, kTable, 99, 0x1F, true},
        {nullptr, 1, kLast - 16, kTable, 99, 0x1F, true},
        // A bad checksum decides; an anchor in the last 16 bytes is not found; an entry point
        // running past the window is refused.
        {kNotFound, 1, 0x200, kTable, 99, 0x1F, false},
        {kNotFound, 0, kLast, kTable, 99, 0x1F, true},
        {kNotFound, 1, kLast - 16, kTable, 99, 0x40, true},
        {L"No address for SMBIOS strucures detected!", 1, 0x200, 0, 99, 0x1F, true},
        {L"Remapping of SMBIOS structure memory failed (LastError = 0x0000001F)!", 1, 0x200, kTable, 3, 0x1F,
         true},
        {L"Could not map SMBIOS physical memory (LastError = 0x0000001F)!", 0, 0x200, kTable, 1, 0x1F, true},
        {L"Could not connect to BIOS device of Halb driver (LastError = 0x0000001F)!", 0, 0x200, kTable, 0,
         0x1F, true},
    };
    for (const auto& [error, anchorsFound, offset, address, refused, length, goodChecksum] : cases)
    {
        SCOPED_TRACE(Narrow(error ? error : L"found"));
        CFaultInjector injector;
        CFakeFirmwareTable os(injector, rsmb);
        CBiosDevice device(injector);
        // A '_' off its paragraph and a paragraph of another value are passed over; a good
        // entry point after the first one is never reached.
        std::vector<BYTE> shadow(kShadowSize);
        memcpy(&shadow[0x101], "_SM_", 4);
        memcpy(&shadow[0x110], "_DMI", 4);
        entry(shadow, offset, address, length, goodChecksum);
        entry(shadow, offset + 0x100, kTable, 0x1F, true);
        device.physical = {{kTable, table}, {kShadow, shadow}};
        device.errors[refused] = ERROR_GEN_FAILURE;
        CTraceCapture trace(6);
        CSMBios smbios;
        EXPECT_EQ(!error, smbios.Connect());
        EXPECT_EQ(anchorsFound,
                  trace.Count(L"ScanForSignature    : SMBIOS signature \"_SM_\" found (SM BIOS >= 2.1)"));
        DWORD flags = 0;
        EXPECT_TRUE(!GetHandleInformation(device.handle, &flags) && !device.mapping) << "released";
        if (error)
        {
            EXPECT_EQ(error, smbios.LastError());
            EXPECT_EQ(1u, trace.Count(std::wstring(L"CSMBios (GetShadow) : ## ERROR! ") + error));
            EXPECT_TRUE(smbios.Table().empty() && smbios.Header().empty());
            continue;
        }
        EXPECT_EQ(table, smbios.Table());
        EXPECT_TRUE(smbios.IndexedStructures() == 77 && smbios.StructureCount() == 76);
        EXPECT_TRUE(trace.Contains(
            L"## ERROR! Number of SMBIOS structures found (77) does not match to number in header (76)!"));
        EXPECT_EQ(0x0207, smbios.MajorRevision() << 8 | smbios.MinorRevision());
        const Request unmap{kUnmap, 0, 0};
        EXPECT_EQ((std::vector<Request>{
                      {0, 0, 0}, {kMap, kShadow, kShadowSize}, unmap, {kMap, kTable, 4869}, unmap}),
                  device.requests);
    }
}
