#include "util/COSVersion.h"

// Exit code: major << 24 | minor << 16 | low 16 bits of the build; 0xFFFFFFFF on failure.
int main()
{
    COSVersion version;
    if (!version.Retrieve())
    {
        return -1;
    }
    return static_cast<int>((version.dwMajorVersion << 24) | ((version.dwMinorVersion & 0xFF) << 16) |
                            (version.dwBuildNumber & 0xFFFF));
}
