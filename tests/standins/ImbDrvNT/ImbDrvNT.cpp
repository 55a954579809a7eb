// Stand-in for the IPMI interface driver ImbDrvNT.sys: a kernel driver that loads, does
// nothing and unloads, so that Wine's service control manager really starts and stops it.
static void __stdcall Unload(void*)
{
}

// Entry 13 of DRIVER_OBJECT on x64 is the unload routine: without one the driver cannot stop.
extern "C" long __stdcall DriverEntry(void** driver, void*)
{
    driver[13] = reinterpret_cast<void*>(Unload);
    return 0;
}
