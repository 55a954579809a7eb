#include "BiosDeviceStandIn.h"
#include "firmware/CDeviceBios.h"
#include "support/TraceCapture.h"
#include "util/Win32Errors.h"
#include <gtest/gtest.h>

namespace
{
using Request = CBiosDeviceStandIn::Request;
constexpr DWORD kMap = CDeviceBios::kMapRequest;
constexpr DWORD kUnmap = CDeviceBios::kUnmapRequest;

std::vector<BYTE> Pattern(size_t size)
{
    std::vector<BYTE> bytes(size);
    for (size_t i = 0; i < size; ++i)
    {
        bytes[i] = BYTE(i * 7 + 3);
    }
    return bytes;
}
} // namespace

TEST(DeviceBios, OpensOnceHoldsOneMappingAndReleasesEverythingOnDestruction)
{
    CFaultInjector injector;
    CBiosDeviceStandIn device(injector);
    const std::vector<BYTE> memory = Pattern(0x100);
    device.WritePhysical(0x1000, memory);
    CTraceCapture trace(5);
    {
        CDeviceBios bios;
        EXPECT_FALSE(bios.IsConnected());
        ASSERT_TRUE(bios.Connect());
        EXPECT_TRUE(bios.Connect());
        ASSERT_EQ(1u, device.Opens().size());
        const auto& open = device.Opens()[0];
        EXPECT_EQ(DWORD(GENERIC_READ), open.access);
        EXPECT_EQ(DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE), open.share);
        EXPECT_EQ(DWORD(OPEN_EXISTING), open.disposition);
        EXPECT_EQ(DWORD(FILE_ATTRIBUTE_NORMAL), open.flags);
        EXPECT_FALSE(open.securityAttributes || open.templateFile);

        const auto* first = static_cast<const BYTE*>(bios.MapPhysicalMemory(0, 0x1000, 0x100));
        ASSERT_NE(nullptr, first);
        EXPECT_EQ(first, bios.MappedAddress());
        EXPECT_EQ(0, memcmp(memory.data(), first, memory.size()));

        // A second map without an unmap: warned about, the first released, then requested.
        const auto* second = static_cast<const BYTE*>(bios.MapPhysicalMemory(0, 0x1080, 0x10));
        ASSERT_NE(nullptr, second);
        EXPECT_EQ(memory[0x80], second[0]);
        EXPECT_TRUE(
            trace.InOrder({L"CDeviceBios (Map)   : ## WARNING! Mapped physical memory already existing, will "
                           L"be unmapped!",
                           L"CDeviceBios (Map)   :   map physical memory 0x0:01080 size 0x00010 to user "
                           L"space..."}));
        const std::vector<Request> expected{{kMap, 0x1000, 0x100}, {kUnmap, 0, 0}, {kMap, 0x1080, 0x10}};
        EXPECT_EQ(expected, device.Requests());

        // Unmapping with nothing mapped sends nothing.
        EXPECT_TRUE(bios.UnmapPhysicalMemory());
        EXPECT_TRUE(bios.UnmapPhysicalMemory());
        EXPECT_EQ(nullptr, bios.MappedAddress());
        EXPECT_EQ(4u, device.Requests().size());
        ASSERT_NE(nullptr, bios.MapPhysicalMemory(0, 0x1000, 0x10));
        trace.Clear();
    }
    // Destruction released the mapping while still a CDeviceBios, then closed the device.
    EXPECT_EQ((Request{kUnmap, 0, 0}), device.Requests().back());
    EXPECT_EQ(6u, device.Requests().size());
    EXPECT_EQ(1u, device.Closes());
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(0u, device.ProtocolViolations());
    EXPECT_TRUE(trace.InOrder(
        {L"CDeviceBios         : ~CDeviceBios()", L"CDeviceBiosBase     :   disconnect from BIOS device"}));
}

TEST(DeviceBios, FailuresLeaveItConnectedWithoutAMapping)
{
    CFaultInjector injector;
    CBiosDeviceStandIn device(injector);
    CTraceCapture trace(5);

    // A device that cannot be opened, and requests on an object that holds no handle.
    device.FailOpen(ERROR_FILE_NOT_FOUND);
    CDeviceBios missing;
    EXPECT_FALSE(missing.Connect());
    EXPECT_TRUE(trace.Contains(
        L"CDeviceBiosBase     :   BIOS device could not be connected (lastError = 0x00000002)"));
    DWORD returned = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(missing.IoControl(kUnmap, &returned, nullptr, 0, nullptr, 0));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0u, returned);
    EXPECT_EQ(nullptr, missing.MapPhysicalMemory(0, 0x1000, 0x10));
    EXPECT_TRUE(trace.Contains(L"## ERROR in MapPhysicalMemory()! IoControl failed (0x00000006)!"));
    EXPECT_TRUE(device.Requests().empty());
    device.FailOpen(0);

    CDeviceBios bios;
    ASSERT_TRUE(bios.Connect());
    // A refused map.
    device.FailMap(0, ERROR_GEN_FAILURE);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, bios.MapPhysicalMemory(0, 0x1000, 0x10));
    EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_TRUE(trace.Contains(L"## ERROR in MapPhysicalMemory()! IoControl failed (0x0000001F)!"));
    // A length the 12-byte request cannot carry is not sent.
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, bios.MapPhysicalMemory(0, 0x1000, size_t(1) << 32));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(1u, device.Requests().size());
    // A refused unmap still forgets the mapping.
    ASSERT_NE(nullptr, bios.MapPhysicalMemory(0, 0x1000, 0x10));
    device.FailUnmap(ERROR_GEN_FAILURE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(bios.UnmapPhysicalMemory());
    EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_TRUE(trace.Contains(L"## ERROR in UnmapPhysicalMemory()! IoControl failed (0x0000001F)!"));
    EXPECT_EQ(nullptr, bios.MappedAddress());
    EXPECT_TRUE(bios.UnmapPhysicalMemory());
    device.FailUnmap(0);
    EXPECT_EQ(0u, device.ProtocolViolations());
    // A fault on a buffer of the request.
    BiosMapRequest request{0x1000, 0, 0x10};
    returned = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        bios.IoControl(kMap, &returned, &request, sizeof(request), reinterpret_cast<void*>(0x10), 8));
    EXPECT_EQ(DWORD(ERROR_UNHANDLED_EXCEPTION), GetLastError());
    EXPECT_EQ(0u, returned);
    // A reply that is not a pointer's width.
    device.SetMapReplySize(4);
    EXPECT_EQ(nullptr, bios.MapPhysicalMemory(0, 0x1000, 0x10));
    EXPECT_TRUE(trace.Contains(
        L"## ERROR in MapPhysicalMemory()! Size of mapped address (4 bytes) not of pointer size!"));
    EXPECT_EQ(nullptr, bios.MappedAddress());
    EXPECT_TRUE(bios.IsConnected());

    // Close: a failing CloseHandle still forgets the handle; a good one leaves error 0.
    device.FailClose(ERROR_INVALID_HANDLE);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(bios.Close());
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(bios.IsOpen());
    EXPECT_TRUE(bios.Close());
    device.FailClose(0);
    CDeviceBios other;
    ASSERT_TRUE(other.Connect());
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(other.Close());
    EXPECT_EQ(0u, GetLastError());
}
