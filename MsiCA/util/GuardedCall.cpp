#include "util/GuardedCall.h"
#include <excpt.h>

// __try1/__except1 use fixed labels: this file must hold exactly one guarded range.

namespace
{
thread_local DWORD t_exceptionCode;

// Kept out of line and called through a pointer so that its C++ handler stays in its own
// frame: GuardedCall's frame may carry only the structured-exception handler.
__attribute__((noinline)) DWORD RunBody(GuardedBody body, void* context)
{
    try
    {
        body(context);
    }
    catch (...)
    {
        return GUARDED_CPP_EXCEPTION;
    }
    return 0;
}

DWORD (*volatile g_runBody)(GuardedBody, void*) = RunBody;
} // namespace

// The filter is named in the unwind table by its symbol, so it must be extern "C" and not static.
extern "C" LONG MsiCAGuardFilter(EXCEPTION_POINTERS* pointers, void*)
{
    t_exceptionCode = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_EXECUTE_HANDLER;
}

__attribute__((noinline)) DWORD GuardedCall(GuardedBody body, void* context)
{
    constexpr DWORD kFaulted = 0xFFFFFFFF;
    volatile DWORD result = kFaulted;
    t_exceptionCode = 0;
    __try1(MsiCAGuardFilter) result = g_runBody(body, context);
    __except1 if (result == kFaulted)
    {
        return t_exceptionCode ? t_exceptionCode : kFaulted;
    }
    return result;
}
