#pragma once
#include <windows.h>

// Win32 error codes that mingw-w64's winerror.h lacks.
#ifndef ERROR_UNHANDLED_EXCEPTION
#define ERROR_UNHANDLED_EXCEPTION 574L
#endif
