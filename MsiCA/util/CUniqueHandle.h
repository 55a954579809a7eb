#pragma once
#include <windows.h>
#include <winsvc.h>
#include <msi.h>
#include <utility>

// Owner of one system handle: closes it when destroyed or reset, never twice.
// Traits give the handle type, its empty value and how it is closed.
template <class Traits>
class CUniqueHandle
{
  public:
    using Handle = typename Traits::Handle;

    CUniqueHandle() = default;
    explicit CUniqueHandle(Handle handle) : m_handle(handle) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        if (this != &other)
        {
            Reset(other.Release());
        }
        return *this;
    }

    Handle Get() const { return m_handle; }
    bool IsValid() const { return m_handle != Traits::Empty(); }
    explicit operator bool() const { return IsValid(); }
    // Closes the held handle; returns whether the close succeeded (true when nothing was held).
    bool Reset(Handle handle = Traits::Empty())
    {
        bool closed = true;
        if (IsValid())
        {
            closed = Traits::Close(m_handle);
        }
        m_handle = handle;
        return closed;
    }
    Handle Release() { return std::exchange(m_handle, Traits::Empty()); }
    Handle* Receive()
    {
        Reset();
        return &m_handle;
    }

  private:
    Handle m_handle = Traits::Empty();
};

struct FileHandleTraits // CreateFileW, CreateToolhelp32Snapshot: INVALID_HANDLE_VALUE when empty
{
    using Handle = HANDLE;
    static Handle Empty() { return INVALID_HANDLE_VALUE; }
    static bool Close(Handle h) { return CloseHandle(h) != FALSE; }
};

struct KernelHandleTraits // mutexes, mappings, processes: null when empty
{
    using Handle = HANDLE;
    static Handle Empty() { return nullptr; }
    static bool Close(Handle h) { return CloseHandle(h) != FALSE; }
};

struct FindHandleTraits
{
    using Handle = HANDLE;
    static Handle Empty() { return INVALID_HANDLE_VALUE; }
    static bool Close(Handle h) { return FindClose(h) != FALSE; }
};

struct ViewTraits
{
    using Handle = void*;
    static Handle Empty() { return nullptr; }
    static bool Close(Handle h) { return UnmapViewOfFile(h) != FALSE; }
};

struct ModuleTraits
{
    using Handle = HMODULE;
    static Handle Empty() { return nullptr; }
    static bool Close(Handle h) { return FreeLibrary(h) != FALSE; }
};

struct ServiceHandleTraits
{
    using Handle = SC_HANDLE;
    static Handle Empty() { return nullptr; }
    static bool Close(Handle h) { return CloseServiceHandle(h) != FALSE; }
};

struct RegKeyTraits
{
    using Handle = HKEY;
    static Handle Empty() { return nullptr; }
    static bool Close(Handle h) { return RegCloseKey(h) == ERROR_SUCCESS; }
};

struct LocalMemoryTraits // LocalAlloc'd by the system for the caller (security descriptors)
{
    using Handle = HLOCAL;
    static Handle Empty() { return nullptr; }
    static bool Close(Handle h) { return LocalFree(h) == nullptr; }
};

struct MsiHandleTraits // records, views, databases of the installer
{
    using Handle = MSIHANDLE;
    static Handle Empty() { return 0; }
    static bool Close(Handle h) { return MsiCloseHandle(h) == ERROR_SUCCESS; }
};

using CFileHandle = CUniqueHandle<FileHandleTraits>;
using CKernelHandle = CUniqueHandle<KernelHandleTraits>;
using CFindHandle = CUniqueHandle<FindHandleTraits>;
using CMappedView = CUniqueHandle<ViewTraits>;
using CModuleHandle = CUniqueHandle<ModuleTraits>;
using CServiceHandle = CUniqueHandle<ServiceHandleTraits>;
using CRegKeyHandle = CUniqueHandle<RegKeyTraits>;
using CLocalMemory = CUniqueHandle<LocalMemoryTraits>;
using CMsiHandle = CUniqueHandle<MsiHandleTraits>;
