// Stand-in for the IPMI interface driver ImbDrvNT.sys: a kernel driver that loads, does
// nothing and unloads, so that Wine's service control manager really starts and stops it.
static void __stdcall Unload(void* driver)
{
    (void)driver;
}

// Entry 13 of DRIVER_OBJECT on x64 is the unload routine: without one the driver cannot stop.
long __stdcall DriverEntry(void** driver, void* registryPath)
{
    (void)registryPath;
    driver[13] = (void*)Unload;
    return 0;
}
