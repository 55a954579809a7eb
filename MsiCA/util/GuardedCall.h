#pragma once
#include <windows.h>
#include <type_traits>

// Code reported for a C++ exception that left a guarded body.
constexpr DWORD GUARDED_CPP_EXCEPTION = 0xE0474343;

using GuardedBody = void (*)(void* context);

// Runs body(context) and turns any exception that leaves it, a machine fault such as an
// access violation included, into a result: 0 when the body returned normally, otherwise
// the exception code (0xC0000005 for an access violation, GUARDED_CPP_EXCEPTION for a C++
// exception). State that the body changes and the caller reads after a fault must be
// volatile: the jump out of the body does not restore registers.
DWORD GuardedCall(GuardedBody body, void* context);

// GuardedCall for any callable, usually a lambda.
template <class F>
DWORD Guarded(F&& f)
{
    using Callable = std::remove_reference_t<F>;
    return GuardedCall([](void* context) { (*static_cast<Callable*>(context))(); }, &f);
}
