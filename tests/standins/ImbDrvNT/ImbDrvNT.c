// Stand-in for the IPMI interface driver ImbDrvNT.sys: a kernel driver that loads, does
// nothing and unloads, so that Wine's service control manager really starts and stops it.
typedef long NTSTATUS;
typedef void(__stdcall* DriverUnload)(void* driver);

// Where DRIVER_OBJECT keeps its unload routine on x64: without one the driver cannot stop.
#define UNLOAD_OFFSET 104

static void __stdcall Unload(void* driver)
{
    (void)driver;
}

NTSTATUS __stdcall DriverEntry(void* driver, void* registryPath)
{
    (void)registryPath;
    *(DriverUnload*)((char*)driver + UNLOAD_OFFSET) = Unload;
    return 0;
}
