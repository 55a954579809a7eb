#include "extmod/CSentrelSetupA.h"

const wchar_t* CSentrelSetupA::GetSetupActionName(DWORD)
{
    return L"EM_SETUP_ACTION_???";
}

bool CSentrelSetupA::CallSetupAction(const wchar_t*, const wchar_t*, DWORD)
{
    return false;
}

bool CSentrelSetupA::RunSetupAction(DWORD, int)
{
    return false;
}

bool CSentrelSetupA::InvokeEntry(EMSetupActionProc, DWORD, BYTE&)
{
    return false;
}
