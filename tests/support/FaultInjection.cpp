#include "FaultInjection.h"
#include <gtest/gtest.h>
#include <cstring>
#include <map>
#include <string>

namespace
{
// Fakes for run-time lookups and the originals of patched imports, by function name.
std::map<std::string, void*> g_lookupFakes, g_originals;
CFaultInjector* g_activeInjector = nullptr;
CVirtualClock* g_clock = nullptr;

void** FindImportSlot(HMODULE module, const char* dll, const char* function)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* nt =
        reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); imports && entry->Name;
         ++entry)
    {
        if (_stricmp(reinterpret_cast<char*>(base + entry->Name), dll) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots)
        {
            const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) && strcmp(byName->Name, function) == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return nullptr;
}

void WriteSlot(void** slot, void* value)
{
    DWORD protection = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &protection);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), protection, &protection);
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name)
{
    const auto fake =
        reinterpret_cast<ULONG_PTR>(name) > 0xFFFF ? g_lookupFakes.find(name) : g_lookupFakes.end();
    return fake != g_lookupFakes.end() ? reinterpret_cast<FARPROC>(fake->second)
                                       : GetProcAddress(module, name);
}
} // namespace

HMODULE TestedModule()
{
    return GetModuleHandleW(L"msica_testable.dll");
}

CImportPatch::CImportPatch(HMODULE module, const char* dll, const char* function, void* fake)
    : m_slot(module ? FindImportSlot(module, dll, function) : nullptr), m_original(m_slot ? *m_slot : nullptr)
{
    if (m_slot)
        WriteSlot(m_slot, fake);
}

CImportPatch::~CImportPatch()
{
    if (m_slot)
        WriteSlot(m_slot, m_original);
}

CFaultInjector::CFaultInjector(HMODULE module) : m_module(module)
{
    EXPECT_EQ(nullptr, g_activeInjector) << "only one CFaultInjector may be active";
    g_activeInjector = this;
    m_patches.push_back(std::make_unique<CImportPatch>(m_module, "kernel32.dll", "GetProcAddress",
                                                       reinterpret_cast<void*>(&FakeGetProcAddress)));
}

CFaultInjector::~CFaultInjector()
{
    while (!m_patches.empty()) // restored in reverse order
        m_patches.pop_back();
    g_lookupFakes.clear();
    g_originals.clear();
    g_activeInjector = nullptr;
}

void* CFaultInjector::Patch(const char* dll, const char* function, void* fake, bool mustBeImported)
{
    g_lookupFakes[function] = fake;
    if (!dll)
        return nullptr;
    auto patch = std::make_unique<CImportPatch>(m_module, dll, function, fake);
    EXPECT_TRUE(patch->Applied() || !mustBeImported) << "the tested module does not import " << function;
    void* original = patch->Applied()
                         ? patch->Original()
                         : reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), function));
    m_patches.push_back(std::move(patch));
    return g_originals[function] = original;
}

void* CFaultInjector::Original(const char* function)
{
    return g_originals.count(function) ? g_originals[function] : nullptr;
}

CVirtualClock::CVirtualClock(CFaultInjector& injector, ULONGLONG startMs) : m_now(startMs)
{
    g_clock = this;
    injector.Replace(
        "kernel32.dll", "Sleep",
        +[](DWORD ms) WINAPI {
            if (g_clock->m_onSleep)
                g_clock->m_onSleep(ms);
            g_clock->m_sleeps.push_back(ms);
            g_clock->m_now += ms;
        },
        false);
    injector.Replace(
        "kernel32.dll", "GetTickCount", +[]() WINAPI { return static_cast<DWORD>(g_clock->m_now); }, false);
    injector.Replace(
        "kernel32.dll", "GetTickCount64", +[]() WINAPI { return g_clock->m_now; }, false);
}

CVirtualClock::~CVirtualClock()
{
    g_clock = nullptr;
}
