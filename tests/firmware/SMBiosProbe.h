#pragma once
#include "firmware/CSMBios.h"
#include "support/PageEndBuffer.h"
#include <string>
#include <vector>

// The reader's inner steps, opened up for tests that feed them bytes directly.
class CSMBiosProbe : public CSMBios
{
  public:
    using CSMBios::BuildStructureList;
    using CSMBios::CheckSmbiosHeader;
    using CSMBios::ScanForSignature;
    using CSMBios::setSmbiosRevisionFromHeader;
};

struct WalkOutcome
{
    bool indexed;
    size_t structures;
    std::wstring error;
};

// Walks a table that ends right before a no-access page: a read past it faults the test.
inline WalkOutcome WalkAtPageEnd(const std::vector<BYTE>& table)
{
    CPageEndBuffer memory(table.size());
    CSMBiosProbe reader;
    const bool indexed = reader.BuildStructureList(memory.Place(table), table.size());
    return {indexed, reader.IndexedStructures(), reader.LastError()};
}

template <class Bytes>
void Append(std::vector<BYTE>& bytes, const Bytes& more)
{
    for (auto byte : more)
    {
        bytes.push_back(static_cast<BYTE>(byte));
    }
}

// One structure: type, length byte, handle, the rest of the formatted area, then the
// strings, each ended by a zero, and the closing zero (two zeros without strings).
inline std::vector<BYTE> Structure(BYTE type, WORD handle, const std::vector<BYTE>& formatted = {},
                                   const std::vector<std::string>& strings = {})
{
    std::vector<BYTE> bytes{type, BYTE(4 + formatted.size()), BYTE(handle), BYTE(handle >> 8)};
    Append(bytes, formatted);
    for (const auto& text : strings)
    {
        Append(bytes, text);
        bytes.push_back(0);
    }
    if (strings.empty())
    {
        bytes.push_back(0);
    }
    bytes.push_back(0);
    return bytes;
}

inline std::vector<BYTE> Join(std::initializer_list<std::vector<BYTE>> parts)
{
    std::vector<BYTE> joined;
    for (const auto& part : parts)
    {
        Append(joined, part);
    }
    return joined;
}
