#pragma once
#include "util/CMemoryPool.h"

// A list of zero-terminated UTF-16 strings ended by an empty string, as in a REG_MULTI_SZ
// value or a device's hardware-ID property. The end of the data also ends the list, so a
// list that lacks its final empty string still counts every string in it.
class CMultiString : public CMemoryPool
{
  public:
    CMultiString() = default;
    ~CMultiString() override;

    size_t Count() const;
    // The entry with a 0-based index, or null. length receives its length in characters:
    // the last entry of a list without its terminators is not terminated.
    const wchar_t* Entry(size_t index, size_t* length = nullptr) const;
};
