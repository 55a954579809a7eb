#include "support/TraceCapture.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>

TEST(TraceCapture, SeesTheLibrarysLines)
{
    CTraceCapture capture(2);
    EXPECT_TRUE(g_Trace.IsActive());
    TRACE(2, L"\nTag                 : value %d", 7);
    TRACE(3, L"\nTag                 : too fine");
    ASSERT_EQ(1u, capture.Lines().size());
    EXPECT_EQ(L"Tag                 : value 7", capture.Lines()[0]);
}
