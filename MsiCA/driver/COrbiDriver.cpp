#include "driver/COrbiDriver.h"
#include "driver/CPnpDevice.h"
#include "trace/CTrace.h"
#include "util/COSVersion.h"

#define ORBI_TAG L"\nCOrbiDriver         : "

namespace
{
const wchar_t* const kOrbiHardwareId = L"Root\\PlxOrbi";
}

int COrbiDriver::Remove()
{
    COSVersion version;
    version.Retrieve();
    if (version.dwMajorVersion < 10)
    {
        TRACE(2, L"\n" ORBI_TAG L"Windows Server 20016 or higher not detected! ORBI driver(s) are not "
                 L"installed here!");
        return 0;
    }
    TRACE(2, ORBI_TAG L"Remove ORBI driver ...");
    if (RemoveDeviceByHardwareId(kOrbiHardwareId))
    {
        TRACE(3, ORBI_TAG L"PlxOrbi device driver successfully removed");
    }
    else
    {
        TRACE(1, ORBI_TAG L"## ERROR 0x%X! Remove device %s FAILED!", GetLastError(), kOrbiHardwareId);
    }
    TRACE(2, L"\n" ORBI_TAG L"... ORBI driver removed!");
    return 0;
}
