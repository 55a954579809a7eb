#include "SMBiosProbe.h"
#include "firmware/HexDump.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>

namespace
{
const std::wstring kRule(116, L'-');

std::vector<BYTE> Bytes(const char* text, size_t size)
{
    return std::vector<BYTE>(text, text + size);
}
} // namespace

TEST(SMBiosWalk, EndsWhereTheTableSays)
{
    CTraceCapture trace(6);
    // Ending exactly after a structure ends the walk whatever its type.
    WalkOutcome outcome = WalkAtPageEnd(Join({Structure(0, 0, {1, 2}, {"Vendor"}), Structure(1, 1)}));
    EXPECT_TRUE(outcome.indexed);
    EXPECT_EQ(2u, outcome.structures);
    EXPECT_TRUE(trace.Contains(L"BuildStructureList  :   end of BIOS structures!"));
    EXPECT_TRUE(trace.Contains(L"BuildStructureList  :    -> found string \"Vendor\""));

    // Type 127 ends it even with bytes behind it.
    trace.Clear();
    outcome = WalkAtPageEnd(Join({Structure(0, 0), Structure(127, 1), {0xFF, 0x7F, 0x01}}));
    EXPECT_TRUE(outcome.indexed);
    EXPECT_EQ(2u, outcome.structures);
    EXPECT_FALSE(trace.Contains(L"end of BIOS structures!"));
    EXPECT_TRUE(trace.Contains(L"BuildStructureList  : 2 SMBIOS structures found"));

    // A lone end-of-table structure without strings.
    outcome = WalkAtPageEnd({127, 4, 0, 0, 0, 0});
    EXPECT_TRUE(outcome.indexed);
    EXPECT_EQ(1u, outcome.structures);

    // Length bytes below 4 (zeroed headers, as some hypervisors publish) move on by the
    // string set alone; strings are UTF-8.
    trace.Clear();
    outcome = WalkAtPageEnd(
        Join({Structure(1, 0, {}, {"M\xC3\xBCller"}), std::vector<BYTE>(6, 0), Structure(127, 9)}));
    EXPECT_TRUE(outcome.indexed);
    EXPECT_EQ(5u, outcome.structures);
    EXPECT_TRUE(trace.Contains(L"   -> found string \"M\u00FCller\""));
    EXPECT_TRUE(trace.Contains(L"BuildStructureList  : - found struct type 127 (handle=9, len=4)"));
}

TEST(SMBiosWalk, BrokenTablesEndWithTheirFatalError)
{
    struct Case
    {
        const char* name;
        std::vector<BYTE> table;
        size_t structures;
        std::wstring error;
    };
    const std::vector<BYTE> first = Structure(1, 1);
    const Case cases[] = {
        {"header cut off", Join({first, {2, 8, 5}}), 1,
         L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while reading struct "
         L"header!\n"
         L"   struct[1], type=0x02, handle=5"},
        {"length past the end", Join({first, {2, 0x20, 2, 0, 0, 0}}), 2,
         L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while going to struct end!\n"
         L"   struct[1], last type=0x02, last handle=2\n   struct Offset 0x0006"},
        {"formatted area up to the end", Join({first, {3, 6, 3, 0, 'a', 'b'}}), 2,
         L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while when string table end "
         L"found!\n"
         L"   struct[1], type=0x03, handle=3\n   struct Offset 0x0006"},
        {"no double zero", Join({first, {3, 4, 3, 0, 'a', 0, 'b', 0}}), 2,
         L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while when string table end "
         L"found!\n"
         L"   struct[1], type=0x03, handle=3\n   struct Offset 0x0006"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CTraceCapture trace(3);
        const WalkOutcome outcome = WalkAtPageEnd(c.table);
        EXPECT_FALSE(outcome.indexed);
        EXPECT_EQ(c.structures, outcome.structures);
        EXPECT_EQ(c.error, outcome.error);
        // Between two rules: the message, then where the walk stood.
        EXPECT_TRUE(trace.Contains(kRule + L"\n" + c.error + L"\n   p = 0x"));
        EXPECT_EQ(2u, trace.Count(kRule));
    }

    CTraceCapture trace(1);
    EXPECT_FALSE(WalkAtPageEnd({}).indexed);
    EXPECT_TRUE(trace.Contains(L"BuildStructureList  : ## ERROR! SMBIOS structures are not set"));
}

TEST(SMBiosRevision, FollowsTheAnchorWithoutReadingPastTheHeader)
{
    struct Case
    {
        std::vector<BYTE> header;
        BYTE major, minor;
        const wchar_t* error;
    };
    const Case cases[] = {
        {Bytes("UEFI\x04\x02", 6), 2, 4, nullptr},
        {Bytes("UEFI\x04", 5), 0, 0, L"Error # SMBios header \"UEFI\" too short for its version (5 bytes)!"},
        {Bytes("UEFI", 4), 0, 0, L"Error # Invalid SMBios version! (no anchor string matched)"},
        {Bytes("_SM_\x11\x1F\x02\x08", 8), 2, 8, nullptr},
        {Bytes("_SM_\x11\x1F\x02", 7), 0, 0,
         L"Error # SMBios header \"_SM_\" too short for its version (7 bytes)!"},
        {Bytes("_SM3_\x11\x18\x03\x06", 9), 3, 6, nullptr},
        {Bytes("_SM3_\x11\x18\x03", 8), 0, 0,
         L"Error # SMBios header \"_SM3_\" too short for its version (8 bytes)!"},
        {Bytes("_DMI_\x11\x18\x03\x06", 9), 0, 0,
         L"Error # Invalid SMBios version! (no anchor string matched)"},
        {{}, 0, 0, L"Error # No SMBios header to process!"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.header.begin(), c.header.end()));
        CTraceCapture trace(1);
        CPageEndBuffer memory(c.header.size());
        CSMBiosProbe reader;
        reader.setSmbiosRevisionFromHeader(memory.Place(c.header), c.header.size());
        EXPECT_EQ(c.major, reader.MajorRevision());
        EXPECT_EQ(c.minor, reader.MinorRevision());
        if (c.error)
        {
            EXPECT_TRUE(trace.Contains(std::wstring(L"CSMBios::setSmbiosRevisionFromHeader() : ") + c.error));
        }
        else
        {
            EXPECT_TRUE(trace.Lines().empty());
        }
    }
}

TEST(HexDump, LinesOfSixteenWithPaddingAndOffsetsOnlyForLongerRanges)
{
    const BYTE bytes[] = {0x41, 0x00, 0x7F, 0x20, 0x7E, 0x80, 0x10, 0x11, 0x12,
                          0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x5A, 0xFA};
    EXPECT_EQ(L"(null)", HexDump(nullptr, 4, true));
    EXPECT_EQ(L"", HexDump(bytes, 0, true));
    EXPECT_EQ(L"41 00 7F 20 7E 80   A\u00FA\u00FA ~\u00FA", HexDump(bytes, 6, true));
    const std::wstring firstLine =
        L"41 00 7F 20 7E 80 10 11 12 13 14 15 16 17 18 19   A\u00FA\u00FA ~" + std::wstring(11, L'\u00FA');
    EXPECT_EQ(firstLine, HexDump(bytes, 16, true));
    EXPECT_EQ(L"0000: " + firstLine + L"\n0010: 5A FA " + std::wstring(14 * 3, L' ') + L"  Z\u00FA" +
                  std::wstring(14, L' '),
              HexDump(bytes, 18, true));
    EXPECT_EQ(firstLine + L"\n5A FA " + std::wstring(14 * 3, L' ') + L"  Z\u00FA" + std::wstring(14, L' '),
              HexDump(bytes, 18, false));
}

// Inputs the fuzz driver (bench/firmware) found ending closest to the table end; walked
// with the trace fully on, so that the dumps and strings read them too.
TEST(SMBiosWalk, FuzzNearMissesEndInsideTheTable)
{
    struct Case
    {
        std::vector<BYTE> table;
        char result; // 'k' indexed, or the fatal error
        size_t structures;
        const wchar_t* details;
    };
    const Case cases[] = {
        {{0x29}, 'A', 0, L"struct[0], type=0x29, handle=0"},
        {{0x12, 0x17}, 'A', 0, L"struct[0], type=0x12, handle=0"},
        {{0xDE, 0x05, 0x00, 0x00},
         'B',
         1,
         L"struct[0], last type=0xDE, last handle=0\n   struct Offset 0x0000"},
        {{0xDA, 0x04, 0x00, 0xDA}, 'C', 1, L"struct[0], type=0xDA, handle=55808"},
        {{0xDA, 0x01, 0x00, 0xDA}, 'C', 1, L"struct[0], type=0xDA, handle=55808"},
        {{0x00, 0x06, 0x00, 0x00, 0x01, 0x02, 0x00}, 'C', 1, L"struct[0], type=0x00, handle=0"},
        {{0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0xF0, 0x03, 0x3F},
         'C',
         2,
         L"struct[1], type=0x01, handle=61440\n   struct Offset 0x0004"},
        {{0x00, 0x02, 0x00, 0x00}, 'k', 1, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "table of " << c.table.size() << " bytes, " << c.result);
        CTraceCapture trace(6);
        const WalkOutcome outcome = WalkAtPageEnd(c.table);
        EXPECT_EQ(c.result == 'k', outcome.indexed);
        EXPECT_EQ(c.structures, outcome.structures);
        if (c.details)
        {
            EXPECT_NE(std::wstring::npos, outcome.error.find(c.details)) << Narrow(outcome.error);
        }
    }
}
