#include "util/StringFormat.h"
#include <gtest/gtest.h>

// The library formats with the Windows CRT's rules, whatever mingw's own printf does.
TEST(StringFormat, WindowsRulesWithoutTruncationOrBoundedAndTerminated)
{
    const std::wstring longText(5000, L'x');
    std::wstring out;
    FormatString(out, L"%s|%hs|%d|%04X|<%s>", L"wide", "narrow", -5, 0x1Fu, longText.c_str());
    EXPECT_EQ(L"wide|narrow|-5|001F|<" + longText + L">", out);

    wchar_t buffer[9] = L"########";
    EXPECT_EQ(-1, FormatBuffer(buffer, 8, L"%s", L"0123456789"));
    EXPECT_STREQ(L"0123456", buffer);
}
