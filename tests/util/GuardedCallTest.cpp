#include "util/GuardedCall.h"
#include <gtest/gtest.h>
#include <stdexcept>

namespace
{
volatile int* volatile g_badPointer = reinterpret_cast<int*>(0x10);
}

TEST(GuardedCall, GivesZeroOrTheCodeOfAFaultOrExceptionAgainAndAgainAndNested)
{
    EXPECT_EQ(GUARDED_CPP_EXCEPTION, Guarded([] { throw std::runtime_error("escaped"); }));
    for (int round = 0; round < 100; ++round)
        ASSERT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), Guarded([] { *g_badPointer = 1; }));
    volatile DWORD inner = 0;
    const DWORD outer = Guarded([&] {
        inner = Guarded([] { *g_badPointer = 1; });
        RaiseException(0xE0000042, 0, 0, nullptr);
    });
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), inner);
    EXPECT_EQ(0xE0000042u, outer);
}
