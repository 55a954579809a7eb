#include "util/CMultiString.h"
#include <gtest/gtest.h>
#include <string>

TEST(CMultiString, InsertAndTheCountAndEntryRules)
{
    CMemoryPool pool;
    pool.Insert(pool.Data(), "AD", 2);
    EXPECT_EQ(2u, pool.Capacity()) << "an empty pool gets exactly the inserted bytes";
    unsigned char* data = pool.Insert(pool.Data() + 1, "BC", 2);
    EXPECT_EQ("ABCD", std::string(reinterpret_cast<char*>(data), pool.Size()));
    EXPECT_EQ(4u, pool.Capacity());
    EXPECT_EQ(data, pool.Insert(data - 1, "x", 1)) << "before the start";
    EXPECT_EQ(data, pool.Insert(data + 5, "x", 1)) << "beyond the end";
    EXPECT_EQ(4u, pool.Size());

    const std::tuple<std::wstring, size_t, size_t, const wchar_t*> cases[] = {
        // list, bytes, count, last
        {std::wstring(L"ROOT\\HALB3\0*PNP0C01\0\0", 21), 42, 2, L"*PNP0C01"},
        {std::wstring(1, L'\0'), 2, 0, L""},
        {std::wstring(), 0, 0, L""},
        {std::wstring(L"A\0BC", 4), 8, 2, L"BC"},         // no final empty string, no last terminator
        {std::wstring(L"A\0BC", 4), 7, 2, L"B"},          // a trailing half character is no character
        {std::wstring(L"A\0BC\0\0D\0", 8), 16, 2, L"BC"}, // the empty string ends the list
    };
    for (const auto& [text, bytes, count, expected] : cases)
    {
        CMultiString list;
        list.Lock();
        list.Append(text.data(), bytes);
        list.Unlock();
        EXPECT_EQ(count, list.Count()) << bytes;
        size_t length = 0;
        const wchar_t* last = count ? list.Entry(count - 1, &length) : L"";
        EXPECT_EQ(expected, std::wstring(last ? last : L"", length)) << bytes;
        EXPECT_EQ(nullptr, list.Entry(count)) << bytes;
    }
}
