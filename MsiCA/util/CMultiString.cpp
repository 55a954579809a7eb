#include "util/CMultiString.h"
#include <cwchar>

CMultiString::~CMultiString()
{
    Release();
}

namespace
{
// Calls visit(text, length) for each entry until it returns false.
template <class Visitor>
void ForEachEntry(const unsigned char* data, uint64_t size, Visitor&& visit)
{
    const auto* text = reinterpret_cast<const wchar_t*>(data);
    const size_t characters = static_cast<size_t>(size / sizeof(wchar_t));
    size_t offset = 0;
    while (offset < characters)
    {
        const size_t length = wcsnlen(text + offset, characters - offset);
        if (length == 0 || !visit(text + offset, length))
        {
            return;
        }
        offset += length + 1;
    }
}
} // namespace

size_t CMultiString::Count() const
{
    size_t count = 0;
    ForEachEntry(Data(), Size(), [&](const wchar_t*, size_t) {
        ++count;
        return true;
    });
    return count;
}

const wchar_t* CMultiString::Entry(size_t index, size_t* length) const
{
    const wchar_t* found = nullptr;
    size_t foundLength = 0;
    ForEachEntry(Data(), Size(), [&](const wchar_t* text, size_t textLength) {
        if (index-- == 0)
        {
            found = text;
            foundLength = textLength;
            return false;
        }
        return true;
    });
    if (length)
    {
        *length = foundLength;
    }
    return found;
}
