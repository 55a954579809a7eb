// Feeds the SMBIOS reader mutated copies of the real test tables: bit flips, truncations,
// length bytes, broken string-set terminators, zero runs, spliced and flooded ranges, and
// entry points announcing any structure count. Every table, header and entry point ends
// right before a no-access page, so a read past its end faults; faults are counted (and
// the input kept), never hidden. Prints tables tried, faults, and the walk's speed against
// a baseline that reads every byte of the same table once.
//
// bench_firmware.exe [tables [seed [findings-folder]]]

#include "support/TestFiles.h"
#include "firmware/CSMBios.h"
#include "support/PageEndBuffer.h"
#include "trace/CTrace.h"
#include "util/GuardedCall.h"
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace
{
class CSMBiosProbe : public CSMBios
{
  public:
    using CSMBios::BuildStructureList;
    using CSMBios::CheckSmbiosHeader;
    using CSMBios::ScanForSignature;
    using CSMBios::setSmbiosRevisionFromHeader;
};

constexpr size_t kTableCapacity = 64 * 1024;
constexpr size_t kEntryCapacity = 0x40;

class CRandom
{
  public:
    explicit CRandom(unsigned long long seed) : m_state(seed ? seed : 1) {}
    unsigned long long Next()
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return m_state;
    }
    // 0 <= value < bound (bound > 0)
    size_t Below(size_t bound) { return bound ? static_cast<size_t>(Next() % bound) : 0; }
    bool OneIn(size_t n) { return Below(n) == 0; }

  private:
    unsigned long long m_state;
};

struct Seed
{
    std::string name;
    BYTE major = 0;
    BYTE minor = 0;
    std::vector<BYTE> table;
    std::vector<size_t> starts; // structure offsets, in table order
};

void WriteBytes(const std::wstring& path, const std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring ExeDir()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

// The real tables, with their structure offsets as the reader finds them.
std::vector<Seed> LoadSeeds(const std::wstring& folder)
{
    std::vector<Seed> seeds;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.rsmb").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
    {
        return seeds;
    }
    do
    {
        const std::vector<BYTE> rsmb = ReadFileBytes(folder + L"\\" + found.cFileName);
        if (rsmb.size() <= 8 || rsmb.size() - 8 > kTableCapacity / 2)
        {
            continue;
        }
        Seed seed;
        seed.name = Narrow(found.cFileName);
        seed.major = rsmb[1];
        seed.minor = rsmb[2];
        seed.table.assign(rsmb.begin() + 8, rsmb.end());
        CSMBiosProbe reader;
        reader.BuildStructureList(seed.table.data(), seed.table.size());
        for (const auto& entry : reader.StructuresByType())
        {
            for (const BYTE* structure : entry.second)
            {
                seed.starts.push_back(static_cast<size_t>(structure - seed.table.data()));
            }
        }
        std::sort(seed.starts.begin(), seed.starts.end());
        seeds.push_back(std::move(seed));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(seeds.begin(), seeds.end(), [](const Seed& a, const Seed& b) { return a.name < b.name; });
    return seeds;
}

class CMutator
{
  public:
    CMutator(const std::vector<Seed>& seeds, CRandom& random) : m_seeds(seeds), m_random(random) {}

    // A mutated copy of a random seed table in table; returns the seed used.
    const Seed& Next(std::vector<BYTE>& table)
    {
        const Seed& seed = m_seeds[m_random.Below(m_seeds.size())];
        table = seed.table;
        const size_t mutations = 1 + m_random.Below(3);
        for (size_t i = 0; i < mutations; ++i)
        {
            Mutate(seed, table);
        }
        if (table.size() > kTableCapacity)
        {
            table.resize(kTableCapacity);
        }
        return seed;
    }

  private:
    size_t PickStart(const Seed& seed, const std::vector<BYTE>& table)
    {
        if (seed.starts.empty())
        {
            return 0;
        }
        const size_t start = seed.starts[m_random.Below(seed.starts.size())];
        return start < table.size() ? start : 0;
    }

    // Where the structure starting at start ends (its string set included) in the seed.
    size_t NextStart(const Seed& seed, size_t start)
    {
        const auto next = std::upper_bound(seed.starts.begin(), seed.starts.end(), start);
        return next == seed.starts.end() ? seed.table.size() : *next;
    }

    void Mutate(const Seed& seed, std::vector<BYTE>& table)
    {
        if (table.empty())
        {
            table.push_back(BYTE(m_random.Next()));
            return;
        }
        const size_t size = table.size();
        switch (m_random.Below(11))
        {
        case 0: // bit flips
            for (size_t flips = 1 + m_random.Below(8); flips; --flips)
            {
                table[m_random.Below(size)] ^= BYTE(1u << m_random.Below(8));
            }
            break;
        case 1: // anywhere
            table.resize(m_random.Below(size + 1));
            break;
        case 2: { // close to a structure's header, formatted area or string set
            const size_t start = PickStart(seed, table);
            const size_t length = table[(start + 1) % size];
            const size_t points[] = {start + m_random.Below(5), start + length - 1 + m_random.Below(3),
                                     NextStart(seed, start) - m_random.Below(3)};
            const size_t cut = points[m_random.Below(3)];
            if (cut < size)
            {
                table.resize(cut);
            }
            break;
        }
        case 3: { // length byte
            const size_t start = PickStart(seed, table);
            if (start + 1 >= size)
            {
                break;
            }
            const size_t remaining = size - start;
            const size_t choices[] = {0,
                                      1,
                                      2,
                                      3,
                                      4,
                                      0xFF,
                                      m_random.Below(256),
                                      remaining,
                                      remaining + 1,
                                      remaining - 1,
                                      size_t(table[start + 1]) + 1,
                                      size_t(table[start + 1]) - 1};
            table[start + 1] = BYTE(choices[m_random.Below(sizeof(choices) / sizeof(choices[0]))]);
            break;
        }
        case 4: { // the double zero that ends a structure's string set
            const size_t end = NextStart(seed, PickStart(seed, table));
            if (end < 2 || end > size)
            {
                break;
            }
            switch (m_random.Below(3))
            {
            case 0:
                table[end - 1] = BYTE(1 + m_random.Below(255));
                break;
            case 1:
                table.erase(table.begin() + static_cast<ptrdiff_t>(end - 1));
                break;
            default:
                table.resize(end - 1);
                break;
            }
            break;
        }
        case 5: { // no double zero anywhere in a range
            const size_t from = m_random.Below(size);
            const size_t to = std::min(size, from + 1 + m_random.Below(512));
            for (size_t i = from + 1; i < to; ++i)
            {
                if (table[i] == 0 && table[i - 1] == 0)
                {
                    table[i] = ' ';
                }
            }
            break;
        }
        case 6: { // a long string without its zero
            const size_t from = m_random.Below(size);
            const size_t to = std::min(size, from + 1 + m_random.Below(4096));
            for (size_t i = from; i < to; ++i)
            {
                table[i] = BYTE('A' + i % 26);
            }
            break;
        }
        case 7: { // zeroed headers
            const size_t from = m_random.OneIn(2) ? PickStart(seed, table) : m_random.Below(size);
            const size_t to = std::min(size, from + 1 + m_random.Below(256));
            std::fill(table.begin() + static_cast<ptrdiff_t>(from),
                      table.begin() + static_cast<ptrdiff_t>(to), 0);
            break;
        }
        case 8: { // a piece of another table
            const Seed& other = m_seeds[m_random.Below(m_seeds.size())];
            const size_t from = m_random.Below(other.table.size());
            const size_t count = std::min(other.table.size() - from, 1 + m_random.Below(1024));
            const size_t at = m_random.Below(size + 1);
            table.insert(table.begin() + static_cast<ptrdiff_t>(at),
                         other.table.begin() + static_cast<ptrdiff_t>(from),
                         other.table.begin() + static_cast<ptrdiff_t>(from + count));
            break;
        }
        case 9: { // bytes removed
            const size_t from = m_random.Below(size);
            const size_t count = std::min(size - from, 1 + m_random.Below(16));
            table.erase(table.begin() + static_cast<ptrdiff_t>(from),
                        table.begin() + static_cast<ptrdiff_t>(from + count));
            break;
        }
        default: // random bytes
            for (size_t count = 1 + m_random.Below(16); count; --count)
            {
                table[m_random.Below(size)] = BYTE(m_random.Next());
            }
            break;
        }
    }

    const std::vector<Seed>& m_seeds;
    CRandom& m_random;
};

// An SMBIOS 2.1 entry point for a table, announcing a structure count of any size.
std::vector<BYTE> EntryPointFor(const std::vector<BYTE>& table, size_t realCount, CRandom& random)
{
    std::vector<BYTE> entry(kEntryCapacity, 0);
    memcpy(entry.data(), "_SM_", 4);
    const BYTE lengths[] = {0x1F, 0x1F, 0x1E, 0x20, 0, 0x3F, 0x40, 0xFF, BYTE(random.Next())};
    entry[5] = lengths[random.Below(sizeof(lengths))];
    entry[6] = 2;
    entry[7] = BYTE(random.Below(9));
    memcpy(&entry[0x10], "_DMI_", 5);
    const WORD tableLength = WORD(table.size());
    memcpy(&entry[0x16], &tableLength, 2);
    const DWORD address = 0xF0000 + DWORD(random.Below(0x10000));
    memcpy(&entry[0x18], &address, 4);
    const size_t counts[] = {0, realCount, realCount + 1, realCount - 1, 0xFFFF, random.Below(0x10000)};
    const WORD count = WORD(counts[random.Below(sizeof(counts) / sizeof(counts[0]))]);
    memcpy(&entry[0x1C], &count, 2);
    BYTE sum = 0;
    for (size_t i = 0; i < entry[5] && i < entry.size(); ++i)
    {
        sum = BYTE(sum + entry[i]);
    }
    if (!random.OneIn(4))
    {
        entry[4] = BYTE(entry[4] - sum);
    }
    return entry;
}

// The header the revision is read from: a pseudo header from the operating system's data,
// or an entry point, cut and flipped at random.
std::vector<BYTE> HeaderFor(const Seed& seed, const std::vector<BYTE>& entryPoint, CRandom& random)
{
    std::vector<BYTE> header;
    switch (random.Below(3))
    {
    case 0:
        header = {'U', 'E', 'F', 'I', seed.minor, seed.major};
        break;
    case 1:
        header.assign(entryPoint.begin(), entryPoint.begin() + 0x1F);
        break;
    default:
        header = {'_', 'S', 'M', '3', '_', 0, 0x18, 3, seed.minor};
        break;
    }
    header.resize(random.Below(header.size() + 1));
    if (!header.empty() && random.OneIn(4))
    {
        header[random.Below(header.size())] ^= BYTE(1u << random.Below(8));
    }
    return header;
}

enum Outcome
{
    kIndexed,
    kErrorA,
    kErrorB,
    kErrorC,
    kNotSet,
    kOutcomes
};

Outcome OutcomeOf(bool indexed, const std::wstring& error)
{
    if (indexed)
        return kIndexed;
    if (error.find(L"while reading struct header") != std::wstring::npos)
        return kErrorA;
    if (error.find(L"while going to struct end") != std::wstring::npos)
        return kErrorB;
    if (error.find(L"string table end found") != std::wstring::npos)
        return kErrorC;
    return kNotSet;
}

// The smallest input seen for each kind of near miss at the table's last bytes.
class CFindings
{
  public:
    void Consider(const char* kind, const std::vector<BYTE>& table)
    {
        auto& kept = m_smallest[kind];
        if (kept.empty() || table.size() < kept.size())
        {
            kept = table;
        }
    }
    void Classify(const CSMBiosProbe& reader, Outcome outcome, const std::vector<BYTE>& table)
    {
        const size_t size = table.size();
        if (size == 0)
        {
            return;
        }
        switch (outcome)
        {
        case kErrorA:
            Consider(size % 2 ? "A-header-cut" : "A-header-cut-even", table);
            break;
        case kErrorB:
        case kErrorC: {
            // Both messages end with the failing structure's offset.
            const size_t at = reader.LastError().rfind(L"0x");
            const size_t offset = wcstoul(reader.LastError().c_str() + at + 2, nullptr, 16);
            const size_t formattedEnd = offset + 1 < size ? offset + table[offset + 1] : 0;
            if (outcome == kErrorB && formattedEnd == size + 1)
            {
                Consider("B-one-byte-past", table);
            }
            else if (outcome == kErrorC && formattedEnd == size)
            {
                Consider("C-formatted-area-to-end", table);
            }
            else if (outcome == kErrorC && table[size - 1] == 0 && table[size - 2] != 0)
            {
                Consider("C-one-zero-at-end", table);
            }
            else if (outcome == kErrorC && table[size - 1] != 0)
            {
                Consider("C-string-to-end", table);
            }
            break;
        }
        case kIndexed:
            if (reader.StructureCount() != reader.IndexedStructures())
            {
                Consider("ok-count-mismatch", table);
            }
            for (const auto& entry : reader.StructuresByType())
            {
                for (const BYTE* structure : entry.second)
                {
                    // Indexed structures have their whole header inside the table.
                    if (structure[1] < 4)
                    {
                        Consider("ok-short-length", table);
                    }
                }
            }
            break;
        default:
            break;
        }
    }
    void Save(const std::wstring& folder) const
    {
        CreateDirectoryW(folder.c_str(), nullptr);
        for (const auto& finding : m_smallest)
        {
            const std::wstring name(finding.first.begin(), finding.first.end());
            WriteBytes(folder + L"\\" + name + L".bin", finding.second);
            printf("  kept %-22s %5zu bytes:", finding.first.c_str(), finding.second.size());
            for (size_t i = 0; i < finding.second.size() && i < 48; ++i)
            {
                printf(" %02X", finding.second[i]);
            }
            printf("%s\n", finding.second.size() > 48 ? " ..." : "");
        }
    }

  private:
    std::map<std::string, std::vector<BYTE>> m_smallest;
};

double Seconds(LONGLONG ticks)
{
    static LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return double(ticks) / double(frequency);
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

struct RunTotals
{
    size_t tables = 0;
    size_t faults = 0;
    size_t outcomes[kOutcomes] = {};
    size_t entryPoints = 0;
    size_t entryPointsPassed = 0;
    size_t windows = 0;
    LONGLONG walkTicks = 0;
    LONGLONG baselineTicks = 0;
    LONGLONG totalTicks = 0;
    unsigned long long checksum = 0; // keeps the baseline's reads alive
};

class CFuzzRun
{
  public:
    CFuzzRun(const std::vector<Seed>& seeds, unsigned long long seed, const std::wstring& findings)
        : m_random(seed), m_mutator(seeds, m_random), m_table(kTableCapacity), m_entry(kEntryCapacity),
          m_header(kEntryCapacity), m_window(CSMBios::kShadowSize), m_findingsFolder(findings)
    {
    }

    RunTotals Run(size_t tables)
    {
        RunTotals totals;
        const LONGLONG start = Now();
        for (size_t i = 0; i < tables; ++i)
        {
            OneTable(totals, i % 64 == 0);
        }
        totals.totalTicks = Now() - start;
        return totals;
    }

    const CFindings& Findings() const { return m_findings; }

  private:
    void OneTable(RunTotals& totals, bool scanWindow)
    {
        const Seed& seed = m_mutator.Next(m_work);
        const std::vector<BYTE> entryPoint = EntryPointFor(m_work, seed.starts.size(), m_random);
        const std::vector<BYTE> header = HeaderFor(seed, entryPoint, m_random);
        const size_t entryAvailable = m_random.OneIn(2) ? 0x20 : m_random.Below(kEntryCapacity + 1);
        const BYTE* table = m_table.Place(m_work);
        const BYTE* entry = m_entry.Place(entryPoint.data(), entryAvailable);
        const BYTE* headerBytes = m_header.Place(header);
        const BYTE lookedUpType = BYTE(m_random.Next());
        const size_t lookedUpOffset = m_random.Below(300);
        const size_t paragraph = CSMBios::kShadowSize - 16 * (1 + m_random.Below(16));

        const LONGLONG baselineStart = Now();
        unsigned long long sum = 0;
        for (size_t i = 0; i < m_work.size(); ++i)
        {
            sum += table[i];
        }
        const LONGLONG walkStart = Now();
        totals.baselineTicks += walkStart - baselineStart;
        totals.checksum += sum;

        volatile bool indexed = false;
        CSMBiosProbe reader;
        const DWORD fault = Guarded([&] {
            DWORD address = 0;
            DWORD length = 0;
            std::vector<BYTE> stored;
            if (reader.CheckSmbiosHeader(entry, entryAvailable, address, length, stored))
            {
                ++totals.entryPointsPassed;
            }
            reader.setSmbiosRevisionFromHeader(headerBytes, header.size());
            indexed = reader.BuildStructureList(table, m_work.size());
            BYTE value = 0;
            reader.ReadStructureByte(38, 6, value);
            reader.ReadStructureByte(lookedUpType, lookedUpOffset, value);
            if (scanWindow)
            {
                ScanWindow(reader, paragraph, entryPoint);
            }
        });
        totals.walkTicks += Now() - walkStart;
        ++totals.tables;
        ++totals.entryPoints;
        totals.windows += scanWindow;
        if (fault != 0)
        {
            KeepFault(totals, fault, header);
            return;
        }
        const Outcome outcome = OutcomeOf(indexed, reader.LastError());
        ++totals.outcomes[outcome];
        m_findings.Classify(reader, outcome, m_work);
    }

    // An entry point in the last paragraphs of a shadow window that ends at a no-access page.
    void ScanWindow(CSMBiosProbe& reader, size_t paragraph, const std::vector<BYTE>& entryPoint)
    {
        BYTE* window = m_window.End() - CSMBios::kShadowSize;
        const size_t count = std::min(entryPoint.size(), CSMBios::kShadowSize - paragraph);
        memcpy(window + paragraph, entryPoint.data(), count);
        window[paragraph + 1 + m_random.Below(15)] = '_';
        DWORD address = 0;
        DWORD length = 0;
        std::vector<BYTE> stored;
        reader.ScanForSignature(window, address, length, stored);
        memset(window + paragraph - 16, 0, CSMBios::kShadowSize - paragraph + 16);
    }

    void KeepFault(RunTotals& totals, DWORD fault, const std::vector<BYTE>& header)
    {
        ++totals.faults;
        if (totals.faults <= 20)
        {
            CreateDirectoryW(m_findingsFolder.c_str(), nullptr);
            const std::wstring name = m_findingsFolder + L"\\fault-" + std::to_wstring(totals.faults);
            WriteBytes(name + L"-table.bin", m_work);
            WriteBytes(name + L"-header.bin", header);
            printf("  FAULT 0x%08lX on table %zu (%zu bytes), kept as %s-table.bin\n", fault, totals.tables,
                   m_work.size(), Narrow(name).c_str());
        }
    }

    CRandom m_random;
    CMutator m_mutator;
    CPageEndBuffer m_table;
    CPageEndBuffer m_entry;
    CPageEndBuffer m_header;
    CPageEndBuffer m_window;
    std::vector<BYTE> m_work;
    CFindings m_findings;
    std::wstring m_findingsFolder;
};

void Report(const char* title, const RunTotals& totals)
{
    const double total = Seconds(totals.totalTicks);
    const double walk = Seconds(totals.walkTicks);
    const double baseline = Seconds(totals.baselineTicks);
    printf("%s\n", title);
    printf("  tables tried            %zu\n", totals.tables);
    printf("  faults                  %zu\n", totals.faults);
    printf("  outcomes                indexed %zu, A %zu, B %zu, C %zu, empty %zu\n",
           totals.outcomes[kIndexed], totals.outcomes[kErrorA], totals.outcomes[kErrorB],
           totals.outcomes[kErrorC], totals.outcomes[kNotSet]);
    printf("  entry points checked    %zu (%zu passed), shadow windows scanned %zu\n", totals.entryPoints,
           totals.entryPointsPassed, totals.windows);
    printf("  tables per second       %.0f (whole loop: mutate, place, check, walk, %.1f s)\n",
           double(totals.tables) / total, total);
    printf("  reader per table        %.2f us; baseline (read every byte once) %.2f us; ratio %.1f\n",
           walk * 1e6 / double(totals.tables), baseline * 1e6 / double(totals.tables),
           baseline > 0 ? walk / baseline : 0.0);
}

// Trace at level 6 into a memory-mapped ring file, so that the dumps and string
// conversions of the walk read the mutated tables too.
class CTracedRun
{
  public:
    explicit CTracedRun(const std::wstring& file)
    {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Debug\\MsiCA", 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) == ERROR_SUCCESS)
        {
            const DWORD level = 6;
            const DWORD mapped = 1;
            const DWORD limit = 0x80000000u | (4u << 20);
            RegSetValueExW(key, L"FileDebugLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), 4);
            RegSetValueExW(key, L"TraceFileMemoryMapped", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&mapped), 4);
            RegSetValueExW(key, L"TraceFileLimit", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&limit), 4);
            RegSetValueExW(key, L"TraceFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                           static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
        g_Trace.ReadConfig();
    }
    ~CTracedRun()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Debug");
        g_Trace.ReadConfig();
    }
};
} // namespace

int main(int argc, char** argv)
{
    const size_t tables = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000000;
    const unsigned long long seed = argc > 2 ? strtoull(argv[2], nullptr, 0) : 0x5EED5EED5EEDull;
    const std::string findingsArgument = argc > 3 ? argv[3] : "fuzz-findings";
    const std::wstring findings(findingsArgument.begin(), findingsArgument.end());

    const std::vector<Seed> seeds = LoadSeeds(ExeDir() + L"\\smbios");
    if (seeds.empty())
    {
        printf("no SMBIOS tables in %s\\smbios\n", Narrow(ExeDir()).c_str());
        return 2;
    }
    if (g_Trace.IsActive())
    {
        printf("warning: the trace is configured in this prefix; figures include its cost\n");
    }
    printf("SMBIOS reader fuzz: %zu seed tables, seed 0x%llX, %zu mutated tables\n", seeds.size(), seed,
           tables);

    CFuzzRun run(seeds, seed, findings);
    const RunTotals untraced = run.Run(tables);
    Report("trace off:", untraced);

    RunTotals traced;
    {
        CTracedRun trace(findings + L"-trace.log");
        traced = run.Run(tables / 100 ? tables / 100 : 1);
    }
    DeleteFileW((findings + L"-trace.log").c_str());
    Report("trace on (level 6, memory-mapped ring file):", traced);

    printf("near misses at the table end (smallest of each kind), kept in %s:\n", Narrow(findings).c_str());
    run.Findings().Save(findings);
    printf("(baseline checksum %llu)\n", untraced.checksum + traced.checksum);
    return untraced.faults + traced.faults == 0 ? 0 : 1;
}
