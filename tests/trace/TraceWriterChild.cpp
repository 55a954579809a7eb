// trace_writer NAME COUNT: writes COUNT level-1 lines "NAME line N" through the library's
// trace as configured in the registry (used to race two processes on one trace file).
#include "trace/CTrace.h"
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    const int count = _wtoi(argv[2]);
    for (int i = 0; i < count; ++i)
        TRACE(1, L"\n%s line %d", argv[1], i);
    return g_Trace.IsActive() ? 0 : 1;
}
