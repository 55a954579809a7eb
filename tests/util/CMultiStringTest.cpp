#include "util/CMultiString.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
// A pool whose allocations can be made to fail and whose releases are counted.
class CCountingPool : public CMemoryPool
{
  public:
    ~CCountingPool() override { Release(); }
    void* Alloc(uint64_t bytes) override { return failAlloc ? nullptr : CMemoryPool::Alloc(bytes); }
    void Free(void*& block) override
    {
        if (block)
        {
            freed.push_back(block);
        }
        CMemoryPool::Free(block);
    }
    bool failAlloc = false;
    std::vector<void*> freed;
};

std::string Content(const CMemoryPool& pool)
{
    return std::string(reinterpret_cast<const char*>(pool.Data()), static_cast<size_t>(pool.Size()));
}
} // namespace

TEST(CMemoryPool, InsertReallocatesToTheExactSizeAndRefusesBadPositions)
{
    CCountingPool pool;
    unsigned char* data = pool.Insert(pool.Data(), "AD", 2);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(2u, pool.Size());
    EXPECT_EQ(2u, pool.Capacity());
    EXPECT_TRUE(pool.freed.empty());

    unsigned char* before = pool.Data();
    data = pool.Insert(pool.Data() + 1, "BC", 2);
    EXPECT_EQ("ABCD", Content(pool));
    EXPECT_EQ(4u, pool.Capacity());
    EXPECT_EQ(std::vector<void*>{before}, pool.freed) << "the old buffer goes back through Free";
    pool.Append("E", 1);
    pool.Insert(pool.Data(), ">", 1);
    EXPECT_EQ(">ABCDE", Content(pool));

    data = pool.Data();
    EXPECT_EQ(data, pool.Insert(data - 1, "x", 1)) << "before the start";
    EXPECT_EQ(data, pool.Insert(data + pool.Size() + 1, "x", 1)) << "beyond the end";
    EXPECT_EQ(data, pool.Insert(data, nullptr, 1));
    EXPECT_EQ(data, pool.Insert(data, "x", 0));
    pool.failAlloc = true;
    EXPECT_EQ(data, pool.Insert(data, "x", 1)) << "a failed allocation keeps the content";
    EXPECT_EQ(">ABCDE", Content(pool));
    EXPECT_EQ(6u, pool.Capacity());
}

namespace
{
void Fill(CMultiString& list, const std::wstring& text, size_t bytes)
{
    list.Lock();
    list.Append(text.data(), bytes);
    list.Unlock();
}
} // namespace

TEST(CMultiString, CountAndEntriesStopAtTheEmptyStringOrTheEndOfTheData)
{
    CMultiString empty;
    EXPECT_EQ(0u, empty.Count());
    EXPECT_EQ(nullptr, empty.Entry(0));

    const std::wstring ids(L"ROOT\\HALB3\0*PNP0C01\0\0", 21);
    CMultiString list;
    Fill(list, ids, ids.size() * sizeof(wchar_t));
    EXPECT_EQ(2u, list.Count());
    EXPECT_STREQ(L"ROOT\\HALB3", list.Entry(0));
    size_t length = 0;
    EXPECT_STREQ(L"*PNP0C01", list.Entry(1, &length));
    EXPECT_EQ(8u, length);
    EXPECT_EQ(nullptr, list.Entry(2));

    CMultiString onlyEnd;
    Fill(onlyEnd, std::wstring(1, L'\0'), sizeof(wchar_t));
    EXPECT_EQ(0u, onlyEnd.Count());
    EXPECT_EQ(nullptr, onlyEnd.Entry(0));

    // Without the final empty string, and the last entry even without its terminator.
    const std::wstring cut(L"A\0BC\0\0D\0", 8);
    CMultiString unterminated;
    Fill(unterminated, std::wstring(L"A\0BC", 4), 4 * sizeof(wchar_t));
    EXPECT_EQ(2u, unterminated.Count());
    const wchar_t* last = unterminated.Entry(1, &length);
    EXPECT_EQ(L"BC", std::wstring(last, length));
    CMultiString oddBytes;
    Fill(oddBytes, std::wstring(L"A\0BC", 4), 4 * sizeof(wchar_t) - 1);
    EXPECT_EQ(2u, oddBytes.Count()) << "a trailing half character is no character";
    oddBytes.Entry(1, &length);
    EXPECT_EQ(1u, length);

    CMultiString stopsEarly;
    Fill(stopsEarly, cut, cut.size() * sizeof(wchar_t));
    EXPECT_EQ(2u, stopsEarly.Count()) << "the empty string ends the list";
    EXPECT_EQ(nullptr, stopsEarly.Entry(2));
}
