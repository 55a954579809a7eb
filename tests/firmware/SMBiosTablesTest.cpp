#include "SMBiosProbe.h"
#include "support/FakeFirmwareTable.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <sstream>

namespace
{
// One row of MANIFEST.tsv: what the walk must reach for a table.
struct ManifestRow
{
    std::string name;
    std::string version;
    std::string result;
    size_t structures = 0;
    std::string slaveByte;
};

std::vector<ManifestRow> ReadManifest()
{
    const std::vector<BYTE> bytes = ReadFileBytes(SmbiosTestDataDir() + L"\\MANIFEST.tsv");
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    std::vector<ManifestRow> rows;
    std::string line;
    std::getline(text, line);
    EXPECT_EQ(0u, line.find("name\tsource\tsmbios_version\ttable_bytes\tdmidecode_structures\treader_result\t"
                            "reader_structures\ttype38_slave_byte\t"));
    while (std::getline(text, line))
    {
        std::vector<std::string> columns;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
        {
            columns.push_back(field);
        }
        if (columns.size() < 8)
        {
            continue;
        }
        rows.push_back({columns[0], columns[2], columns[5], std::stoul(columns[6]), columns[7]});
    }
    return rows;
}

const wchar_t* FatalErrorText(const std::string& result)
{
    if (result == "A")
        return L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while reading struct "
               L"header!";
    if (result == "B")
        return L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while going to struct "
               L"end!";
    if (result == "C")
        return L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while when string "
               L"table end "
               L"found!";
    return L"";
}

// The type-38 slave byte as the manifest writes it: "", "0x20", "beyond" (past the table).
std::string SlaveByteOf(const CSMBios& smbios)
{
    if (!smbios.FindStructure(38))
    {
        return "";
    }
    BYTE slave = 0;
    if (!smbios.ReadStructureByte(38, 6, slave))
    {
        return "beyond";
    }
    char text[8];
    snprintf(text, sizeof(text), "0x%02X", slave);
    return text;
}
} // namespace

TEST(SMBiosTables, RealTablesIndexAsTheManifestSays)
{
    const std::vector<ManifestRow> rows = ReadManifest();
    ASSERT_EQ(43u, rows.size());
    for (const ManifestRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::vector<BYTE> rsmb = SmbiosTestData(std::wstring(row.name.begin(), row.name.end()));
        ASSERT_GE(rsmb.size(), 8u);
        CFaultInjector injector;
        CFakeFirmwareTable osTable(injector, rsmb);
        CSMBios smbios;
        const bool connected = smbios.Connect();
        EXPECT_EQ(row.result == "ok", connected);
        EXPECT_EQ(row.structures, smbios.IndexedStructures());
        EXPECT_EQ(row.slaveByte.substr(0, row.slaveByte.find(' ')), SlaveByteOf(smbios));
        if (row.result == "ok")
        {
            EXPECT_EQ(row.structures, smbios.StructureCount());
            EXPECT_EQ(row.version,
                      std::to_string(smbios.MajorRevision()) + "." + std::to_string(smbios.MinorRevision()));
        }
        else if (row.result != "nosrc")
        {
            EXPECT_EQ(0u, smbios.LastError().find(FatalErrorText(row.result)));
        }

        // The same walk on a table that ends right before a no-access page.
        const WalkOutcome outcome = WalkAtPageEnd(std::vector<BYTE>(rsmb.begin() + 8, rsmb.end()));
        EXPECT_EQ(row.result == "ok", outcome.indexed);
        EXPECT_EQ(row.structures, outcome.structures);
    }
}

TEST(SMBiosTables, WinesOwnTableIndexesWithoutError)
{
    CTraceCapture trace(4);
    CSMBios smbios;
    ASSERT_TRUE(smbios.Connect());
    EXPECT_TRUE(trace.Contains(L"CSMBios (Connect)   : SMBIOS data got from operating system ("));
    EXPECT_FALSE(trace.Contains(L"ERROR"));
    for (BYTE type : {0, 1, 2, 3, 127})
    {
        EXPECT_NE(nullptr, smbios.FindStructure(type)) << int(type);
    }
    EXPECT_EQ(nullptr, smbios.FindStructure(38));
    EXPECT_EQ(smbios.IndexedStructures(), smbios.StructureCount());
    EXPECT_EQ(0, memcmp(smbios.Header().data(), "UEFI", 4));
    EXPECT_EQ(2, smbios.MajorRevision());
    smbios.Disconnect();
    EXPECT_TRUE(smbios.Table().empty() && smbios.Header().empty() && smbios.StructuresByType().empty());
    EXPECT_EQ(0u, smbios.StructureCount());
    EXPECT_TRUE(trace.Contains(L"CSMBios (Disconnect): Disconnected"));
}
