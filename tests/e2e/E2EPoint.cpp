#include <windows.h>
#include <string>

// The test package's stand-in action at a named point of the installation (a program the
// installer runs, type 34): "fail" fails the installation; any other name marks the point as
// reached (C:\e2e-point.NAME) and waits there until the harness ends every process of the
// prefix.
int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return ERROR_INVALID_PARAMETER;
    const std::wstring point = argv[1];
    if (point == L"fail")
        return ERROR_INSTALL_FAILURE;
    CloseHandle(CreateFileW((L"C:\\e2e-point." + point).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    Sleep(INFINITE);
    return 0;
}
