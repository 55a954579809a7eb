#include "firmware/HexDump.h"
#include "util/StringFormat.h"

namespace
{
constexpr size_t kBytesPerLine = 16;
constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";
constexpr wchar_t kUnprintable = 0x00FA;
} // namespace

std::wstring HexDump(const BYTE* bytes, size_t size, bool withOffsets)
{
    if (!bytes)
    {
        return L"(null)";
    }
    const bool offsets = withOffsets && size > kBytesPerLine;
    std::wstring dump;
    dump.reserve((size / kBytesPerLine + 1) * 76);
    for (size_t lineStart = 0; lineStart < size; lineStart += kBytesPerLine)
    {
        const bool firstLine = lineStart == 0;
        if (!firstLine)
        {
            dump += L'\n';
        }
        if (offsets)
        {
            std::wstring offset;
            FormatString(offset, L"%04X: ", static_cast<unsigned>(lineStart));
            dump += offset;
        }
        const size_t count = size - lineStart < kBytesPerLine ? size - lineStart : kBytesPerLine;
        const size_t padded = firstLine ? count : kBytesPerLine;
        for (size_t i = 0; i < padded; ++i)
        {
            if (i < count)
            {
                const BYTE value = bytes[lineStart + i];
                dump += kHexDigits[value >> 4];
                dump += kHexDigits[value & 0x0F];
                dump += L' ';
            }
            else
            {
                dump += L"   ";
            }
        }
        dump += L"  ";
        for (size_t i = 0; i < padded; ++i)
        {
            if (i < count)
            {
                const BYTE value = bytes[lineStart + i];
                dump += (value >= 0x20 && value <= 0x7E) ? static_cast<wchar_t>(value) : kUnprintable;
            }
            else
            {
                dump += L' ';
            }
        }
    }
    return dump;
}
