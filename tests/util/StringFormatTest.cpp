#include "util/StringFormat.h"
#include <gtest/gtest.h>
#include <strsafe.h>

// The library formats with the Windows CRT's rules, whatever mingw's own printf does.
TEST(StringFormat, WideStringArgumentsFollowTheWindowsRules)
{
    std::wstring out;
    FormatString(out, L"%s|%hs|%ls|%d|0x%X|%04X", L"wide", "narrow", L"ls", -5, 0xABCu, 0x1Fu);
    EXPECT_EQ(L"wide|narrow|ls|-5|0xABC|001F", out);

    wchar_t buffer[32];
    ASSERT_EQ(S_OK, StringCchPrintfW(buffer, 32, L"\"%s\"", L"quoted"));
    EXPECT_STREQ(L"\"quoted\"", buffer);
}

TEST(StringFormat, FormatStringNeverTruncates)
{
    const std::wstring longText(5000, L'x');
    std::wstring out;
    FormatString(out, L"<%s>", longText.c_str());
    EXPECT_EQ(5002u, out.size());
    EXPECT_EQ(L'>', out.back());
    FormatString(out, L"");
    EXPECT_TRUE(out.empty());
}

TEST(StringFormat, BoundedFormattingTruncatesAndTerminates)
{
    wchar_t buffer[8];
    EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, StringCchPrintfW(buffer, 8, L"%s", L"0123456789"));
    EXPECT_STREQ(L"0123456", buffer);
    EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(buffer, 0, L"%s", L"x"));

    EXPECT_EQ(3, FormatBuffer(buffer, 8, L"%d", 123));
    EXPECT_STREQ(L"123", buffer);
    EXPECT_EQ(-1, FormatBuffer(buffer, 8, L"%s", L"0123456789"));
    EXPECT_STREQ(L"0123456", buffer);
    EXPECT_EQ(-1, FormatBuffer(buffer, 0, L"%d", 1));
}
