#include "CustomActionFrame.h"
#include "trace/CTrace.h"
#include "util/GuardedCall.h"

UINT RunCustomAction(const wchar_t* entryText, MSIHANDLE install, ActionBody body, UINT resultOnFault)
{
    TRACE(2, MSICA_TAG L"%s", entryText);
    volatile UINT result = resultOnFault;
    const DWORD fault = Guarded([&] { result = body(install); });
    if (fault != 0)
    {
        TRACE(1, MSICA_TAG L"## ERROR 0x%X! Exception in %s - action abandoned (result %u)!\n", fault,
              entryText, resultOnFault);
        return resultOnFault;
    }
    return result;
}
