#include "BiosDeviceStandIn.h"
#include "firmware/CDeviceBios.h"
#include "firmware/CSMBios.h"
#include "support/FakeFirmwareTable.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <functional>

namespace
{
constexpr DWORD kTableAddress = 0x7F6E0000;
constexpr DWORD kLastParagraph = CSMBios::kShadowSize - 16;

std::vector<BYTE> TableOf(const std::wstring& name)
{
    std::vector<BYTE> rsmb = SmbiosTestData(name);
    EXPECT_GT(rsmb.size(), 8u);
    return std::vector<BYTE>(rsmb.begin() + 8, rsmb.end());
}

// No table from the operating system, a BIOS device with a real table in physical memory.
struct ShadowBed
{
    CFaultInjector injector;
    CFakeFirmwareTable osTable{injector};
    CBiosDeviceStandIn device{injector};
    std::vector<BYTE> table = TableOf(L"jcreek-dmi.0");

    ShadowBed() { device.WritePhysical(kTableAddress, table); }
    WORD TableLength() const { return WORD(table.size()); }
};
} // namespace

TEST(SMBiosShadow, TheFirstEntryPointOnAParagraphNamesTheTable)
{
    ShadowBed bed;
    bed.device.WritePhysical(CSMBios::kShadowAddress + 0x101, {'_', 'S', 'M', '_'});
    bed.device.WritePhysical(CSMBios::kShadowAddress + 0x200, {'_', 'D', 'M', 'I', '_'});
    bed.device.WriteEntryPoint(0x1A30, kTableAddress, bed.TableLength(), 76);
    CTraceCapture trace(6);
    CSMBios smbios;
    ASSERT_TRUE(smbios.Connect());
    EXPECT_EQ(bed.table, smbios.Table());
    EXPECT_EQ(77u, smbios.IndexedStructures());
    EXPECT_EQ(76u, smbios.StructureCount());
    ASSERT_EQ(0x1Fu, smbios.Header().size());
    EXPECT_EQ(0, memcmp(smbios.Header().data(), "_SM_", 4));
    EXPECT_EQ(2, smbios.MajorRevision());
    EXPECT_EQ(7, smbios.MinorRevision());
    BYTE slave = 0;
    EXPECT_TRUE(smbios.ReadStructureByte(38, 6, slave));
    EXPECT_EQ(0x20, slave);
    EXPECT_TRUE(trace.InOrder({
        L"'_' found at a non-paragraph address",
        L"no valid SMBIOS signature, continue searching",
        L"ScanForSignature    : SMBIOS signature \"_SM_\" found (SM BIOS >= 2.1) at",
        L"CheckSmbiosHeader   :   nr structures:  76",
        L"CheckSmbiosHeader   : Checksum OK, storing header",
        L"ScanForSignature    : -> SMBIOS detected",
        L"CSMBios (GetShadow) : ## SMBIOS/DMI structures found ##",
        L"map this physical address (0x7F6E0000 size 4869)...",
        L"CSMBios (Connect)   : Got SMBIOS data from BIOS shadow memory (4869 bytes)",
        L"CSMBios (Connect)   : SMBIOS revision: 2.7",
        L"BuildStructureList  : ## ERROR! Number of SMBIOS structures found (77) does not match to number in "
        L"header "
        L"(76)!",
        L"BuildStructureList  : 76 SMBIOS structures found",
        L"CSMBios (Connect)   : SMBIOS successfully connected",
    }));
    // Shadow window, then the table, each released; the device closed again.
    const auto& requests = bed.device.Requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(CSMBios::kShadowAddress, requests[0].address);
    EXPECT_EQ(CSMBios::kShadowSize, requests[0].length);
    EXPECT_EQ(kTableAddress, requests[2].address);
    EXPECT_EQ(bed.table.size(), requests[2].length);
    EXPECT_EQ(CDeviceBios::kUnmapRequest, requests[3].code);
    EXPECT_EQ(1u, bed.device.Closes());
    EXPECT_EQ(0u, bed.device.ProtocolViolations());
}

TEST(SMBiosShadow, EveryFailureIsTracedOnceAndReleasesTheDevice)
{
    struct Case
    {
        const char* name;
        std::function<void(ShadowBed&)> arrange;
        const wchar_t* error; // null: the table is found
        const wchar_t* traced = nullptr;
        const wchar_t* notTraced = nullptr;
    };
    const Case cases[] = {
        {"bad checksum decides",
         [](ShadowBed& bed) {
             bed.device.WriteEntryPoint(0x100, kTableAddress, bed.TableLength(), 0, 0x1F, false);
             bed.device.WriteEntryPoint(0x200, kTableAddress, bed.TableLength(), 0);
         },
         L"No SMBIOS structures found!", L"CheckSmbiosHeader   : ## CHECKSUM ERROR in DMI structure header!"},
        {"last paragraph searched",
         [](ShadowBed& bed) {
             bed.device.WriteEntryPoint(kLastParagraph - 16, kTableAddress, bed.TableLength(), 0);
         },
         nullptr},
        {"anchor in the last 16 bytes",
         [](ShadowBed& bed) {
             bed.device.WritePhysical(CSMBios::kShadowAddress + kLastParagraph, {'_', 'S', 'M', '_'});
         },
         L"No SMBIOS structures found!", L"ScanForSignature    : -> SMBIOS NOT detected", L"found (SM BIOS"},
        {"entry point longer than the window",
         [](ShadowBed& bed) {
             bed.device.WriteEntryPoint(kLastParagraph - 16, kTableAddress, bed.TableLength(), 0, 0x40);
         },
         L"No SMBIOS structures found!",
         L"CheckSmbiosHeader   : ## ERROR! SMBIOS entry point length (64 bytes) runs past the mapped memory "
         L"(32 bytes)!"},
        {"table address 0",
         [](ShadowBed& bed) { bed.device.WriteEntryPoint(0x200, 0, bed.TableLength(), 0); },
         L"No address for SMBIOS strucures detected!"},
        {"remap fails",
         [](ShadowBed& bed) {
             bed.device.WriteEntryPoint(0x200, kTableAddress, bed.TableLength(), 0);
             bed.device.FailMap(1, ERROR_GEN_FAILURE);
         },
         L"Remapping of SMBIOS structure memory failed (LastError = 0x0000001F)!"},
        {"shadow map fails", [](ShadowBed& bed) { bed.device.FailMap(0, ERROR_ACCESS_DENIED); },
         L"Could not map SMBIOS physical memory (LastError = 0x00000005)!"},
        {"no device", [](ShadowBed& bed) { bed.device.FailOpen(ERROR_FILE_NOT_FOUND); },
         L"Could not connect to BIOS device of Halb driver (LastError = 0x00000002)!"},
        {"entry point of length 0 passes without a header",
         [](ShadowBed& bed) { bed.device.WriteEntryPoint(0x200, kTableAddress, bed.TableLength(), 77, 0); },
         nullptr, L"CSMBios::setSmbiosRevisionFromHeader() : Error # No SMBios header to process!"},
        {"operating system data of the wrong length",
         [](ShadowBed& bed) {
             std::vector<BYTE> rsmb = RsmbData(3, 2, bed.table);
             rsmb[4] ^= 1;
             bed.osTable.Serve(rsmb);
             bed.device.WriteEntryPoint(0x200, kTableAddress, bed.TableLength(), 0);
         },
         nullptr,
         L"CSMBios (GetFromOs) : WARNING! SMBIOS table length 4868 does not match the 4869 bytes of data"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ShadowBed bed;
        c.arrange(bed);
        CTraceCapture trace(4);
        CSMBios smbios;
        const bool connected = smbios.Connect();
        if (c.traced)
        {
            EXPECT_TRUE(trace.Contains(c.traced));
        }
        if (c.notTraced)
        {
            EXPECT_FALSE(trace.Contains(c.notTraced));
        }
        EXPECT_EQ(0u, bed.device.ProtocolViolations());
        EXPECT_FALSE(bed.device.IsOpen());
        EXPECT_FALSE(bed.device.HoldsMapping());
        if (!c.error)
        {
            EXPECT_TRUE(connected);
            EXPECT_EQ(77u, smbios.IndexedStructures());
            EXPECT_TRUE(trace.Contains(L"Got SMBIOS data from BIOS shadow memory (4869 bytes)"));
            continue;
        }
        EXPECT_FALSE(connected);
        EXPECT_EQ(c.error, smbios.LastError());
        EXPECT_EQ(1u, trace.Count(std::wstring(L"CSMBios (GetShadow) : ## ERROR! ") + c.error));
        EXPECT_TRUE(trace.Contains(L"CSMBios (Connect)   : ## ERROR! Could not find any SMBIOS data!"));
        EXPECT_TRUE(smbios.Header().empty());
        EXPECT_TRUE(smbios.Table().empty());
        EXPECT_EQ(0u, smbios.IndexedStructures());
    }
}
