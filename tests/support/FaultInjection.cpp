#include "FaultInjection.h"
#include <gtest/gtest.h>
#include <cstring>

namespace
{
// Fakes for run-time lookups and the originals of patched imports, by function name.
std::map<std::string, void*> g_lookupFakes;
std::map<std::string, void*> g_originals;
CFaultInjector* g_activeInjector = nullptr;
CVirtualClock* g_activeClock = nullptr;

void** FindImportSlot(HMODULE module, const char* dll, const char* function)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
    {
        return nullptr;
    }
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name != 0; ++descriptor)
    {
        if (_stricmp(reinterpret_cast<char*>(base + descriptor->Name), dll) != 0)
        {
            continue;
        }
        const DWORD namesRva =
            descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + namesRva);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots)
        {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
            {
                continue;
            }
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char*>(byName->Name), function) == 0)
            {
                return reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

void WriteSlot(void** slot, void* value)
{
    DWORD oldProtection = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtection);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), oldProtection, &oldProtection);
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF)
    {
        auto fake = g_lookupFakes.find(name);
        if (fake != g_lookupFakes.end())
        {
            return reinterpret_cast<FARPROC>(fake->second);
        }
    }
    return GetProcAddress(module, name);
}
} // namespace

HMODULE TestedModule()
{
    return GetModuleHandleW(L"msica_testable.dll");
}

CImportPatch::CImportPatch(HMODULE module, const char* dll, const char* function, void* fake)
{
    if (!module)
    {
        return;
    }
    m_slot = FindImportSlot(module, dll, function);
    if (m_slot)
    {
        m_original = *m_slot;
        WriteSlot(m_slot, fake);
    }
}

CImportPatch::~CImportPatch()
{
    if (m_slot)
    {
        WriteSlot(m_slot, m_original);
    }
}

CFaultInjector::CFaultInjector(HMODULE module) : m_module(module)
{
    if (g_activeInjector)
    {
        ADD_FAILURE() << "only one CFaultInjector may be active";
    }
    g_activeInjector = this;
    auto patch = std::make_unique<CImportPatch>(m_module, "kernel32.dll", "GetProcAddress",
                                                reinterpret_cast<void*>(&FakeGetProcAddress));
    if (patch->Applied())
    {
        m_patches.push_back(std::move(patch));
    }
}

CFaultInjector::~CFaultInjector()
{
    while (!m_patches.empty())
    {
        m_patches.pop_back();
    }
    g_lookupFakes.clear();
    g_originals.clear();
    g_activeInjector = nullptr;
}

void* CFaultInjector::ReplaceImport(const char* dll, const char* function, void* fake, bool required)
{
    g_lookupFakes[function] = fake;
    auto patch = std::make_unique<CImportPatch>(m_module, dll, function, fake);
    if (!patch->Applied())
    {
        if (required)
        {
            ADD_FAILURE() << "the tested module does not import " << dll << "!" << function;
        }
        void* real = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), function));
        g_originals[function] = real;
        return real;
    }
    void* original = patch->Original();
    g_originals[function] = original;
    m_patches.push_back(std::move(patch));
    return original;
}

void CFaultInjector::ReplaceLookupOnly(const char* name, void* fake)
{
    g_lookupFakes[name] = fake;
}

void* CFaultInjector::Original(const char* function)
{
    auto original = g_originals.find(function);
    return original == g_originals.end() ? nullptr : original->second;
}

CVirtualClock::CVirtualClock(CFaultInjector& injector, ULONGLONG startMs) : m_now(startMs)
{
    g_activeClock = this;
    injector.ReplaceIfImported("kernel32.dll", "Sleep", &FakeSleep);
    injector.ReplaceIfImported("kernel32.dll", "GetTickCount", &FakeGetTickCount);
    injector.ReplaceIfImported("kernel32.dll", "GetTickCount64", &FakeGetTickCount64);
}

CVirtualClock::~CVirtualClock()
{
    g_activeClock = nullptr;
}

void WINAPI CVirtualClock::FakeSleep(DWORD ms)
{
    if (g_activeClock->m_onSleep)
    {
        g_activeClock->m_onSleep(ms);
    }
    g_activeClock->m_sleeps.push_back(ms);
    g_activeClock->m_now += ms;
}

DWORD WINAPI CVirtualClock::FakeGetTickCount()
{
    return static_cast<DWORD>(g_activeClock->m_now);
}

ULONGLONG WINAPI CVirtualClock::FakeGetTickCount64()
{
    return g_activeClock->m_now;
}
