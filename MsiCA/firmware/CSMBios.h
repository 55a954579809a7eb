#pragma once
#include <windows.h>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class CDeviceBios;

// The machine's SMBIOS structure table, from the operating system or, failing that, from
// the BIOS shadow memory through the board driver's BIOS device, indexed by structure
// type. Firmware writes broken tables: nothing is ever read outside the table, the header
// or the mapped memory, whatever their bytes say.
class CSMBios
{
  public:
    using StructureList = std::vector<const BYTE*>;
    using StructureMap = std::map<BYTE, StructureList>;

    static constexpr DWORD kShadowAddress = 0xE0000;
    static constexpr DWORD kShadowSize = 0x20000;
    // The last paragraph of the shadow memory is never searched.
    static constexpr DWORD kShadowSearchedSize = kShadowSize - 16;
    static constexpr BYTE kEndOfTableType = 127;

    CSMBios();
    ~CSMBios();
    CSMBios(const CSMBios&) = delete;
    CSMBios& operator=(const CSMBios&) = delete;

    // Fetches, checks and indexes the table. True only when the structure list was built.
    bool Connect();
    void Disconnect();

    // Header of the first structure of a type inside the table, or null.
    const BYTE* FindStructure(BYTE type) const;
    // Byte at offset of the first structure of a type; false when there is no such
    // structure or the byte lies beyond the end of the table.
    bool ReadStructureByte(BYTE type, size_t offset, BYTE& value) const;

    BYTE MajorRevision() const { return m_majorRevision; }
    BYTE MinorRevision() const { return m_minorRevision; }
    const std::vector<BYTE>& Header() const { return m_header; }
    const std::vector<BYTE>& Table() const { return m_table; }
    const StructureMap& StructuresByType() const { return m_structuresByType; }
    // The number the entry point announces, or the number found when the source gave none.
    ULONGLONG StructureCount() const { return m_structureCount; }
    // How many structures the walk indexed, whatever its outcome.
    size_t IndexedStructures() const;
    const std::wstring& LastError() const { return m_lastError; }

  protected:
    bool GetFromOs();
    bool GetShadow();
    // Searches a kShadowSize window for the first paragraph holding "_SM_" and checks it.
    bool ScanForSignature(const BYTE* window, DWORD& tableAddress, DWORD& tableLength,
                          std::vector<BYTE>& header);
    // available: how many bytes may be read from entryPoint.
    bool CheckSmbiosHeader(const BYTE* entryPoint, size_t available, DWORD& tableAddress, DWORD& tableLength,
                           std::vector<BYTE>& header);
    void setSmbiosRevisionFromHeader();
    void setSmbiosRevisionFromHeader(const BYTE* header, size_t size);
    bool BuildStructureList();
    // Indexes the table in [table, table + size): the map then points into that range,
    // which must outlive its use.
    bool BuildStructureList(const BYTE* table, size_t size);

  private:
    bool CopyShadowTable(CDeviceBios& device, const BYTE* window);
    // Positions as numbers: p may lie beyond the table.
    bool FatalWalkError(uintptr_t p, uintptr_t end, const wchar_t* format, ...);

    BYTE m_majorRevision = 0;
    BYTE m_minorRevision = 0;
    std::vector<BYTE> m_header;
    std::vector<BYTE> m_table;
    StructureMap m_structuresByType;
    ULONGLONG m_structureCount = 0;
    std::wstring m_lastError;
    // The range the map points into.
    const BYTE* m_indexedBegin = nullptr;
    const BYTE* m_indexedEnd = nullptr;
};
