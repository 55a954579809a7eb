#include "firmware/CSMBios.h"
#include "firmware/CDeviceBios.h"
#include "firmware/HexDump.h"
#include "trace/CTrace.h"
#include "util/GuardedCall.h"
#include "util/ProcAddress.h"
#include "util/StringFormat.h"
#include <cstdarg>
#include <cstdint>
#include <cstring>

#define SMB_CONNECT_TAG L"\nCSMBios (Connect)   : "
#define SMB_DISCONNECT_TAG L"\nCSMBios (Disconnect): "
#define SMB_OS_TAG L"\nCSMBios (GetFromOs) : "
#define SMB_SHADOW_TAG L"\nCSMBios (GetShadow) : "
#define SMB_SCAN_TAG L"\nScanForSignature    : "
#define SMB_CHECK_TAG L"\nCheckSmbiosHeader   : "
#define SMB_WALK_TAG L"\nBuildStructureList  : "
#define SMB_REVISION_TAG L"\nCSMBios::setSmbiosRevisionFromHeader() : "

#define SMB_RULE                                                                                             \
    L"-----------------------------------------------------------------------------------------------------" \
    L"---------------"

namespace
{
using GetSystemFirmwareTableFunction = UINT(WINAPI*)(DWORD provider, DWORD tableId, PVOID buffer, DWORD size);
constexpr DWORD kRsmbProvider = 0x52534D42; // 'RSMB'

// Raw SMBIOS data from the operating system: byte 1 major, byte 2 minor version, bytes 4-7
// the length of the table that follows.
constexpr size_t kRawMajorOffset = 1;
constexpr size_t kRawMinorOffset = 2;
constexpr size_t kRawLengthOffset = 4;
constexpr size_t kRawPrefixSize = 8;

// SMBIOS 2.1 entry point.
constexpr size_t kEntryLengthOffset = 0x05;
constexpr size_t kEntryMajorOffset = 0x06;
constexpr size_t kEntryMinorOffset = 0x07;
constexpr size_t kEntryTableLengthOffset = 0x16;
constexpr size_t kEntryTableAddressOffset = 0x18;
constexpr size_t kEntryStructureCountOffset = 0x1C;
constexpr size_t kEntryBcdRevisionOffset = 0x1E;
constexpr size_t kEntryFieldsSize = kEntryBcdRevisionOffset + 1;
constexpr size_t kEntryDumpSize = 32;

constexpr size_t kStructureHeaderSize = 4;
// Strings longer than this are traced cut short.
constexpr int kTracedStringMax = 4096;

static_assert(sizeof(SMB_RULE) / sizeof(wchar_t) - 1 == 116, "the separator of fatal walk errors");

WORD Le16(const BYTE* p)
{
    return static_cast<WORD>(p[0] | p[1] << 8);
}

DWORD Le32(const BYTE* p)
{
    return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

// Addresses appear in the trace by their low 32 bits.
unsigned Low32(uintptr_t address)
{
    return static_cast<unsigned>(address);
}

unsigned Low32(const void* address)
{
    return Low32(reinterpret_cast<uintptr_t>(address));
}

void TraceString(const BYTE* begin, const BYTE* end)
{
    if (!g_Trace.IsActive() || begin == end)
    {
        return;
    }
    const int length = end - begin > kTracedStringMax ? kTracedStringMax : static_cast<int>(end - begin);
    const auto* text = reinterpret_cast<const char*>(begin);
    std::wstring wide(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0)), L'\0');
    if (!wide.empty())
    {
        MultiByteToWideChar(CP_UTF8, 0, text, length, &wide[0], static_cast<int>(wide.size()));
    }
    TRACE(6, SMB_WALK_TAG L"   -> found string \"%s\"", wide.c_str());
}

// The end of a string set that starts at p: the first of two consecutive zero bytes, or
// end when the set has no such pair before it.
const BYTE* FindStringSetEnd(const BYTE* p, const BYTE* end)
{
    while (p < end)
    {
        const auto* zero = static_cast<const BYTE*>(memchr(p, 0, static_cast<size_t>(end - p)));
        if (!zero)
        {
            TraceString(p, end);
            return end;
        }
        TraceString(p, zero);
        if (end - zero >= 2 && zero[1] == 0)
        {
            return zero;
        }
        p = zero + 1;
    }
    return end;
}
} // namespace

CSMBios::CSMBios()
{
    m_header.reserve(32);
    m_table.reserve(32);
}

CSMBios::~CSMBios()
{
    if (!m_table.empty())
    {
        Disconnect();
    }
}

bool CSMBios::Connect()
{
    m_structureCount = 0;
    m_majorRevision = 0;
    m_minorRevision = 0;
    if (GetFromOs())
    {
        TRACE(4, SMB_CONNECT_TAG L"SMBIOS data got from operating system (%d bytes)",
              static_cast<int>(m_table.size()));
    }
    else if (GetShadow())
    {
        TRACE(4, SMB_CONNECT_TAG L"Got SMBIOS data from BIOS shadow memory (%d bytes)",
              static_cast<int>(m_table.size()));
    }
    else
    {
        TRACE(1, SMB_CONNECT_TAG L"## ERROR! Could not find any SMBIOS data!");
        m_header.clear();
        m_table.clear();
    }
    setSmbiosRevisionFromHeader();
    bool connected = false;
    if (!m_table.empty())
    {
        TRACE(4, SMB_CONNECT_TAG L"SMBIOS revision: %d.%d", m_majorRevision, m_minorRevision);
        TRACE(4, SMB_CONNECT_TAG L"Build structure list...");
        connected = BuildStructureList();
    }
    TRACE(4, SMB_CONNECT_TAG L"SMBIOS %s connected", connected ? L"successfully" : L"NOT");
    return connected;
}

void CSMBios::Disconnect()
{
    m_structureCount = 0;
    m_header.clear();
    m_structuresByType.clear();
    m_indexedBegin = nullptr;
    m_indexedEnd = nullptr;
    m_table.clear();
    m_majorRevision = 0;
    m_minorRevision = 0;
    m_lastError.clear();
    TRACE(4, SMB_DISCONNECT_TAG L"Disconnected");
}

const BYTE* CSMBios::FindStructure(BYTE type) const
{
    const auto entry = m_structuresByType.find(type);
    if (entry == m_structuresByType.end() || entry->second.empty())
    {
        return nullptr;
    }
    return entry->second.front();
}

bool CSMBios::ReadStructureByte(BYTE type, size_t offset, BYTE& value) const
{
    const BYTE* structure = FindStructure(type);
    if (!structure || structure < m_indexedBegin || structure >= m_indexedEnd ||
        offset >= static_cast<size_t>(m_indexedEnd - structure))
    {
        return false;
    }
    value = structure[offset];
    return true;
}

size_t CSMBios::IndexedStructures() const
{
    size_t count = 0;
    for (const auto& entry : m_structuresByType)
    {
        count += entry.second.size();
    }
    return count;
}

bool CSMBios::GetFromOs()
{
    m_table.clear();
    const auto getFirmwareTable = GetProcAddressAs<GetSystemFirmwareTableFunction>(
        GetModuleHandleW(L"Kernel32"), "GetSystemFirmwareTable");
    if (!getFirmwareTable)
    {
        TRACE(4, SMB_OS_TAG L"GetSystemFirmwareTable not available");
        return false;
    }
    const UINT needed = getFirmwareTable(kRsmbProvider, 0, nullptr, 0);
    if (needed == 0)
    {
        TRACE(4, SMB_OS_TAG L"No SMBIOS data from the operating system (lastError = 0x%08X)", GetLastError());
        return false;
    }
    m_table.resize(needed);
    const UINT written = getFirmwareTable(kRsmbProvider, 0, m_table.data(), needed);
    // More than was asked for a moment ago: the data changed in between and is not whole.
    if (written == 0 || written > needed)
    {
        TRACE(4, SMB_OS_TAG L"## ERROR 0x%X! Reading %u bytes of SMBIOS data failed (%u returned)",
              GetLastError(), needed, written);
        m_table.clear();
        return false;
    }
    m_table.resize(written);
    if (m_table.size() <= kRawPrefixSize)
    {
        TRACE(4, SMB_OS_TAG L"WARNING! SMBIOS data of %u bytes holds no table", written);
        return false;
    }
    m_header.assign({'U', 'E', 'F', 'I', m_table[kRawMinorOffset], m_table[kRawMajorOffset]});
    const DWORD tableLength = Le32(&m_table[kRawLengthOffset]);
    if (tableLength != m_table.size() - kRawPrefixSize)
    {
        TRACE(4, SMB_OS_TAG L"WARNING! SMBIOS table length %u does not match the %u bytes of data",
              tableLength, static_cast<unsigned>(m_table.size() - kRawPrefixSize));
        return false;
    }
    m_table.erase(m_table.begin(), m_table.begin() + kRawPrefixSize);
    return true;
}

bool CSMBios::GetShadow()
{
    bool found = false;
    CDeviceBios device;
    if (!device.Connect())
    {
        FormatString(m_lastError, L"Could not connect to BIOS device of Halb driver (LastError = 0x%08X)!",
                     GetLastError());
    }
    else
    {
        TRACE(2, SMB_SHADOW_TAG L"Get SMBIOS data from BIOS shadow memory (E0000...FFFFF)");
        TRACE(3, SMB_SHADOW_TAG L"  map physical memory 0x%05X length 0x%04X", kShadowAddress, kShadowSize);
        const auto* window =
            static_cast<const BYTE*>(device.MapPhysicalMemory(0, kShadowAddress, kShadowSize));
        if (!window)
        {
            FormatString(m_lastError, L"Could not map SMBIOS physical memory (LastError = 0x%08X)!",
                         GetLastError());
        }
        else
        {
            found = CopyShadowTable(device, window);
            device.UnmapPhysicalMemory();
        }
        device.Disconnect();
    }
    if (!found)
    {
        TRACE(1, L"\n\nCSMBios (GetShadow) : ## ERROR! %s", m_lastError.c_str());
    }
    return found;
}

// Finds the entry point in the shadow window, then maps and copies the table it names.
// Mapped memory belongs to the device: a fault while reading it fails the search.
bool CSMBios::CopyShadowTable(CDeviceBios& device, const BYTE* window)
{
    TRACE(3, SMB_SHADOW_TAG L"  search for SMBIOS signature at mapped address 0x%08X...", Low32(window));
    volatile bool found = false;
    volatile DWORD tableAddress = 0;
    volatile DWORD tableLength = 0;
    DWORD fault = Guarded([&] {
        DWORD address = 0;
        DWORD length = 0;
        found = ScanForSignature(window, address, length, m_header);
        tableAddress = address;
        tableLength = length;
    });
    if (fault != 0)
    {
        FormatString(m_lastError, L"Exception 0x%08X while searching the BIOS shadow memory!", fault);
        return false;
    }
    if (!found)
    {
        m_lastError = L"No SMBIOS structures found!";
        return false;
    }
    TRACE(2, L"\n\nCSMBios (GetShadow) : ## SMBIOS/DMI structures found ##\n");
    const DWORD address = tableAddress;
    const DWORD length = tableLength;
    if (address == 0)
    {
        m_lastError = L"No address for SMBIOS strucures detected!";
        return false;
    }
    TRACE(3, SMB_SHADOW_TAG L"SMBIOS structure address found; map this physical address (0x%08X size %d)...",
          address, length);
    device.UnmapPhysicalMemory();
    const auto* table = static_cast<const BYTE*>(device.MapPhysicalMemory(0, address, length));
    if (!table)
    {
        FormatString(m_lastError, L"Remapping of SMBIOS structure memory failed (LastError = 0x%08X)!",
                     GetLastError());
        return false;
    }
    TRACE(3, SMB_SHADOW_TAG L"  mapped address = 0x%08X", Low32(table));
    m_table.resize(length);
    fault = length == 0 ? 0 : Guarded([&] { memcpy(m_table.data(), table, length); });
    if (fault != 0)
    {
        m_table.clear();
        FormatString(m_lastError, L"Exception 0x%08X while copying the SMBIOS structure table!", fault);
        return false;
    }
    return true;
}

bool CSMBios::ScanForSignature(const BYTE* window, DWORD& tableAddress, DWORD& tableLength,
                               std::vector<BYTE>& header)
{
    if (!window)
    {
        TRACE(1, SMB_SCAN_TAG L"## FATAL ERROR! Mapped address is NULL!\n");
        return false;
    }
    TRACE(5, SMB_SCAN_TAG L"physical addr = 0x%05X, mapped addr = 0x%08X, size 0x%05X", kShadowAddress,
          Low32(window), kShadowSize);
    bool found = false;
    const BYTE* const searchEnd = window + kShadowSearchedSize;
    for (const BYTE* at = window; at < searchEnd; ++at)
    {
        at = static_cast<const BYTE*>(memchr(at, '_', static_cast<size_t>(searchEnd - at)));
        if (!at)
        {
            break;
        }
        if (reinterpret_cast<uintptr_t>(at) % 16 != 0)
        {
            TRACE(6, SMB_SCAN_TAG L"  '_' found at a non-paragraph address (0x%08X), continue searching",
                  Low32(at));
            continue;
        }
        // A paragraph below searchEnd has at least 32 bytes of the window behind it.
        TRACE(6, SMB_SCAN_TAG L"  '_' found at address 0x%08X, value=0x%08X, check for valid signature...",
              Low32(at), Le32(at));
        if (memcmp(at, "_SM_", 4) == 0)
        {
            TRACE(3, SMB_SCAN_TAG L"SMBIOS signature \"_SM_\" found (SM BIOS >= 2.1) at 0x%08X", Low32(at));
            found = CheckSmbiosHeader(at, static_cast<size_t>(window + kShadowSize - at), tableAddress,
                                      tableLength, header);
            break;
        }
        TRACE(6, SMB_SCAN_TAG L"  no valid SMBIOS signature, continue searching");
    }
    TRACE(3, SMB_SCAN_TAG L"-> SMBIOS %sdetected", found ? L"" : L"NOT ");
    return found;
}

bool CSMBios::CheckSmbiosHeader(const BYTE* entryPoint, size_t available, DWORD& tableAddress,
                                DWORD& tableLength, std::vector<BYTE>& header)
{
    if (!entryPoint)
    {
        return false;
    }
    TRACE(5, SMB_CHECK_TAG L"Dump of SM BIOS header:");
    TRACE(5, L"\n%s",
          HexDump(entryPoint, available < kEntryDumpSize ? available : kEntryDumpSize, true).c_str());
    TRACE(5, SMB_CHECK_TAG L"...");
    if (available < kEntryFieldsSize)
    {
        TRACE(1, SMB_CHECK_TAG L"## ERROR! SMBIOS entry point cut off after %d bytes!",
              static_cast<int>(available));
        return false;
    }
    tableAddress = Le32(entryPoint + kEntryTableAddressOffset);
    tableLength = Le16(entryPoint + kEntryTableLengthOffset);
    m_structureCount = Le16(entryPoint + kEntryStructureCountOffset);
    const BYTE length = entryPoint[kEntryLengthOffset];
    TRACE(2, SMB_CHECK_TAG L"SMBIOS header:");
    TRACE(3, SMB_CHECK_TAG L"  size:           %d", length);
    TRACE(3, SMB_CHECK_TAG L"  anchor string:  %c%c%c%c", entryPoint[0], entryPoint[1], entryPoint[2],
          entryPoint[3]);
    TRACE(2, SMB_CHECK_TAG L"  DMI Version:    %d.%d (BCD Rev: %02X)", entryPoint[kEntryMajorOffset],
          entryPoint[kEntryMinorOffset], entryPoint[kEntryBcdRevisionOffset]);
    TRACE(3, SMB_CHECK_TAG L"  nr structures:  %d", static_cast<int>(m_structureCount));
    TRACE(3, SMB_CHECK_TAG L"  struct address: 0x%08X, size 0x%04X", tableAddress, tableLength);
    if (length > available)
    {
        TRACE(1,
              SMB_CHECK_TAG L"## ERROR! SMBIOS entry point length (%d bytes) runs past the mapped memory (%d "
                            L"bytes)!",
              length, static_cast<int>(available));
        return false;
    }
    BYTE sum = 0;
    for (size_t i = 0; i < length; ++i)
    {
        sum = static_cast<BYTE>(sum + entryPoint[i]);
    }
    if (sum != 0)
    {
        TRACE(1, L"\n\nCheckSmbiosHeader   : ## CHECKSUM ERROR in DMI structure header!\n");
        return false;
    }
    TRACE(2, SMB_CHECK_TAG L"Checksum OK, storing header");
    header.assign(entryPoint, entryPoint + length);
    return true;
}

void CSMBios::setSmbiosRevisionFromHeader()
{
    setSmbiosRevisionFromHeader(m_header.data(), m_header.size());
}

void CSMBios::setSmbiosRevisionFromHeader(const BYTE* header, size_t size)
{
    struct AnchorRule
    {
        const char* anchor;
        size_t anchorLength;
        size_t majorOffset;
        size_t minorOffset;
    };
    static const AnchorRule kRules[] = {{"UEFI", 4, 5, 4}, {"_SM_", 4, 6, 7}, {"_SM3_", 5, 7, 8}};

    m_majorRevision = 0;
    m_minorRevision = 0;
    if (!header || size == 0)
    {
        TRACE(1, SMB_REVISION_TAG L"Error # No SMBios header to process!");
        return;
    }
    for (const AnchorRule& rule : kRules)
    {
        if (size <= rule.anchorLength || memcmp(header, rule.anchor, rule.anchorLength) != 0)
        {
            continue;
        }
        const size_t needed = (rule.majorOffset > rule.minorOffset ? rule.majorOffset : rule.minorOffset) + 1;
        // A header too short for its version bytes leaves the revision unknown (0.0).
        if (size < needed)
        {
            TRACE(1, SMB_REVISION_TAG L"Error # SMBios header \"%hs\" too short for its version (%d bytes)!",
                  rule.anchor, static_cast<int>(size));
            return;
        }
        m_majorRevision = header[rule.majorOffset];
        m_minorRevision = header[rule.minorOffset];
        return;
    }
    TRACE(1, SMB_REVISION_TAG L"Error # Invalid SMBios version! (no anchor string matched)");
}

bool CSMBios::BuildStructureList()
{
    return BuildStructureList(m_table.data(), m_table.size());
}

// Every position is compared with the table end before a byte there is read: a header
// cut off by the end is fatal error A, a formatted area cut off is B, a string set without
// its double zero is C. The dump of a cut-off formatted area stops at the end.
bool CSMBios::BuildStructureList(const BYTE* table, size_t size)
{
    m_structuresByType.clear();
    m_indexedBegin = table;
    m_indexedEnd = table ? table + size : nullptr;
    if (!table || size == 0)
    {
        TRACE(1, SMB_WALK_TAG L"## ERROR! SMBIOS structures are not set");
        return false;
    }
    TRACE(5, SMB_WALK_TAG L"struct buffer size = 0x%04X", static_cast<unsigned>(size));
    const BYTE* const end = table + size;
    const BYTE* p = table;
    int index = 0;
    ULONGLONG walked = 0;
    for (;;)
    {
        // Here p < end.
        const BYTE* const structure = p;
        const size_t available = static_cast<size_t>(end - p);
        const BYTE type = p[0];
        if (available < kStructureHeaderSize)
        {
            const unsigned handleLow = available > 2 ? p[2] : 0;
            return FatalWalkError(
                reinterpret_cast<uintptr_t>(p), reinterpret_cast<uintptr_t>(end),
                L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while reading "
                L"struct header!\n   struct[%d], type=0x%02X, handle=%d",
                index, type, handleLow);
        }
        const BYTE length = p[1];
        const WORD handle = Le16(p + 2);
        TRACE(5, L"\n");
        TRACE(4, SMB_WALK_TAG L"- found struct type %d (handle=%d, len=%d)", type, handle, length);
        TRACE(5, L"\n%s", HexDump(p, length < available ? length : available, false).c_str());
        m_structuresByType[type].push_back(structure);
        ++walked;
        const unsigned offset = static_cast<unsigned>(structure - table);
        if (length > available)
        {
            return FatalWalkError(
                reinterpret_cast<uintptr_t>(p) + length, reinterpret_cast<uintptr_t>(end),
                L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while going "
                L"to struct end!\n   struct[%d], last type=0x%02X, last handle=%d\n   struct Offset "
                L"0x%04X",
                index, type, handle, offset);
        }
        p += length;
        TRACE(6, SMB_WALK_TAG L"  struct[%d]: start 0x%08X, header 0x%08X, len 0x%02X", index, Low32(p),
              Low32(structure), length);
        p = FindStringSetEnd(p, end);
        if (end - p < 2)
        {
            return FatalWalkError(
                reinterpret_cast<uintptr_t>(p) + 2, reinterpret_cast<uintptr_t>(end),
                L"## FATAL ERROR! SMBIOS structure pointer exceeds structure table end while when "
                L"string table end found!\n   struct[%d], type=0x%02X, handle=%d\n   struct Offset "
                L"0x%04X",
                index, type, handle, offset);
        }
        p += 2;
        if (p == end)
        {
            TRACE(4, SMB_WALK_TAG L"  end of BIOS structures!");
            break;
        }
        TRACE(6, SMB_WALK_TAG L"  new pDmiStructure = 0x%08X, end=0x%08X", Low32(p), Low32(end));
        ++index;
        if (type == kEndOfTableType)
        {
            break;
        }
    }
    if (m_structureCount == 0)
    {
        m_structureCount = walked;
    }
    else if (m_structureCount != walked)
    {
        TRACE(1,
              L"\n\nBuildStructureList  : ## ERROR! Number of SMBIOS structures found (%d) does not match to "
              L"number in "
              L"header (%d)!\n",
              static_cast<int>(walked), static_cast<int>(m_structureCount));
    }
    TRACE(4, SMB_WALK_TAG L"%d SMBIOS structures found", static_cast<int>(m_structureCount));
    return true;
}

bool CSMBios::FatalWalkError(uintptr_t p, uintptr_t end, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    VFormatString(m_lastError, format, args);
    va_end(args);
    TRACE(1, L"\n\n" SMB_RULE);
    TRACE(1, L"\n%s", m_lastError.c_str());
    TRACE(3, L"\n   p = 0x%08X, table end = 0x%08X ", Low32(p), Low32(end));
    TRACE(1, L"\n" SMB_RULE L"\n");
    return false;
}
