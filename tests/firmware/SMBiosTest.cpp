#include "firmware/CSMBios.h"
#include "support/FakeFirmwareTable.h"
#include "support/PageEndBuffer.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <sstream>

namespace
{
// The reader's inner steps, opened up for tests that feed them bytes directly.
struct CSMBiosProbe : CSMBios
{
    using CSMBios::setSmbiosRevisionFromHeader;
    // Walks a table that ends right before a no-access page: a read past it faults the test.
    bool WalkAtPageEnd(const std::vector<BYTE>& table)
    {
        CPageEndBuffer memory(table.size());
        return BuildStructureList(memory.Place(table), table.size());
    }
};

// Fatal walk error A, B or C up to the number of the structure.
std::wstring FatalError(char error)
{
    const wchar_t* where[] = {L"reading struct header!", L"going to struct end!",
                              L"when string table end found!"};
    return L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while " +
           std::wstring(where[error - 'A']) + L"\n   struct[";
}
} // namespace

TEST(SMBiosTables, EveryRealTableIndexesAsTheManifestSays)
{
    std::istringstream lines(ReadFileString(BinPath(L"smbios\\MANIFEST.tsv")));
    size_t tables = 0;
    std::string line;
    // Columns: name, source, version, bytes, dmidecode's count, result, structures, slave byte.
    for (std::getline(lines, line); std::getline(lines, line); ++tables)
    {
        std::vector<std::string> column;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            column.push_back(field);
        ASSERT_GE(column.size(), 8u) << line;
        SCOPED_TRACE(column[0]);
        const std::string& result = column[5];
        const size_t structures = std::stoul(column[6]);
        const std::vector<BYTE> rsmb = SmbiosTestData(std::wstring(column[0].begin(), column[0].end()));
        ASSERT_GE(rsmb.size(), 8u);
        CFaultInjector injector;
        CFakeFirmwareTable os(injector, rsmb);
        CSMBios smbios;
        EXPECT_EQ(result == "ok", smbios.Connect());
        EXPECT_EQ(structures, smbios.IndexedStructures());
        // The first type-38 structure's slave byte: none, beyond the table, or its value.
        BYTE slave = 0;
        const bool found = smbios.FindStructure(38), read = smbios.ReadStructureByte(38, 6, slave);
        EXPECT_EQ(column[7].empty(), !found);
        EXPECT_EQ(column[7] == "beyond", found && !read);
        EXPECT_EQ(read ? std::stoi(column[7], nullptr, 16) : 0, slave);
        if (result == "ok")
        {
            EXPECT_EQ(structures, smbios.StructureCount());
            EXPECT_EQ(column[2],
                      std::to_string(smbios.MajorRevision()) + "." + std::to_string(smbios.MinorRevision()));
        }
        else if (result != "nosrc")
        {
            EXPECT_EQ(0u, smbios.LastError().find(FatalError(result[0])));
        }
        // The same walk on the table at the end of a page.
        CSMBiosProbe probe;
        EXPECT_EQ(result == "ok", probe.WalkAtPageEnd({rsmb.begin() + 8, rsmb.end()}));
        EXPECT_EQ(structures, probe.IndexedStructures());
    }
    EXPECT_EQ(43u, tables);
}

// Each table ends right before a no-access page and is walked with the trace fully on, so
// that the walk's dumps and strings read it too.
TEST(SMBiosWalk, EndsAtTheTableEndAtTypeOneHundredTwentySevenOrWithAFatalError)
{
    using Case = std::tuple<std::vector<BYTE>, size_t, char, const wchar_t*>; // error 0: indexed
    // clang-format off
    const Case cases[] = {
        // Ending right after a structure (strings included), at type 127 with bytes after it,
        // a lone type-127 structure.
        {{0, 5, 0, 0, 1, 'B', 'I', 'O', 'S', 0, 0, 1, 4, 1, 0, 0, 0}, 2, 0, L""},
        {{0, 4, 0, 0, 0, 0, 127, 4, 1, 0, 0, 0, 0xFF, 0x7F, 0x01}, 2, 0, L""},
        {{127, 4, 0, 0, 0, 0}, 1, 0, L""},
        // A header cut off, a length past the end, a formatted area up to the end, no double zero.
        {{1, 4, 1, 0, 0, 0, 2, 8, 5}, 1, 'A', L"1], type=0x02, handle=5"},
        {{1, 4, 1, 0, 0, 0, 2, 32, 2, 0, 0, 0}, 2, 'B', L"last handle=2\n   struct Offset 0x0006"},
        {{1, 4, 1, 0, 0, 0, 3, 6, 3, 0, 'a', 'b'}, 2, 'C', L"type=0x03, handle=3\n   struct Offset 0x0006"},
        {{1, 4, 1, 0, 0, 0, 3, 4, 3, 0, 'a', 0, 'b', 0}, 2, 'C', L"1], type=0x03, handle=3"},
        // Found by the fuzz driver: the smallest input of each kind that ends nearest the end.
        {{0x29}, 0, 'A', L"0], type=0x29, handle=0"},
        {{0x12, 0x17}, 0, 'A', L"0], type=0x12, handle=0"},
        {{0xDE, 0x05, 0x00, 0x00}, 1, 'B', L"0], last type=0xDE, last handle=0\n   struct Offset 0x0000"},
        {{0xDA, 0x04, 0x00, 0xDA}, 1, 'C', L"0], type=0xDA, handle=55808\n   struct Offset 0x0000"},
        {{0xDA, 0x01, 0x00, 0xDA}, 1, 'C', L"0], type=0xDA, handle=55808\n   struct Offset 0x0000"},
        {{0, 6, 0, 0, 1, 2, 0}, 1, 'C', L"0], type=0x00, handle=0\n   struct Offset 0x0000"},
        {{0, 1, 0, 0, 1, 2, 0, 0xF0, 3, 0x3F}, 2, 'C', L"type=0x01, handle=61440\n   struct Offset 0x0004"},
        {{0, 2, 0, 0}, 1, 0, L""},
    };
    // clang-format on
    for (const auto& [table, structures, error, details] : cases)
    {
        SCOPED_TRACE(testing::PrintToString(table));
        CTraceCapture trace(6);
        CSMBiosProbe reader;
        EXPECT_EQ(!error, reader.WalkAtPageEnd(table));
        EXPECT_EQ(structures, reader.IndexedStructures());
        if (error)
        {
            EXPECT_EQ(0u, reader.LastError().find(FatalError(error))) << Narrow(reader.LastError());
            EXPECT_NE(std::wstring::npos, reader.LastError().find(details)) << Narrow(reader.LastError());
            // Between two rules: the message, then where the walk stood.
            const std::wstring rule(116, L'-');
            EXPECT_TRUE(trace.Contains(rule + L"\n" + reader.LastError() + L"\n   p = 0x"));
            EXPECT_EQ(2u, trace.Count(rule));
        }
    }
}

// Each anchor's version bytes are read only when the header holds them (0.0 otherwise).
TEST(SMBiosRevision, FollowsTheAnchorWithoutReadingPastTheHeader)
{
    const std::pair<std::string, int> cases[] = {
        {"UEFI\x04\x02", 0x0204},          {"UEFI\x04", 0},
        {"_SM_\x11\x1F\x02\x08", 0x0208},  {"_SM_\x11\x1F\x02", 0},
        {"_SM3_\x11\x18\x03\x06", 0x0306}, {"_SM3_\x11\x18\x03", 0},
        {"_DMI_\x11\x18\x03\x06", 0},      {"", 0},
    };
    for (const auto& [header, revision] : cases)
    {
        CPageEndBuffer memory(header.size());
        CSMBiosProbe reader;
        reader.setSmbiosRevisionFromHeader(memory.Place(header.data(), header.size()), header.size());
        EXPECT_EQ(revision, reader.MajorRevision() << 8 | reader.MinorRevision()) << header;
    }
}
