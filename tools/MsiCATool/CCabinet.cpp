#include "CCabinet.h"
#include "ErrorText.h"
#include "util/CUniqueHandle.h"
#include <algorithm>
#include <cstdio>
#include <new>
#include <fci.h>
#include <fcntl.h>
#include <cstring>

namespace
{
const char kCabinetName[] = "cabinet";
const char kSourcePrefix[] = "source:";
} // namespace

// FCI's view of the files: all of them in the CCabinet's memory.
struct CabinetCallbacks
{
    static CCabinet& Of(void* context) { return *static_cast<CCabinet*>(context); }
    static CCabinet::OpenFile* Handle(void* context, INT_PTR handle)
    {
        CCabinet& cabinet = Of(context);
        return handle >= 1 && static_cast<size_t>(handle) <= cabinet.m_open.size()
                   ? &cabinet.m_open[handle - 1]
                   : nullptr;
    }

    static FNFCIALLOC(Allocate) { return operator new(cb, std::nothrow); }
    static FNFCIFREE(Free) { operator delete(memory); }
    static FNFCIOPEN(Open)
    {
        (void)pmode;
        CCabinet& cabinet = Of(pv);
        std::string& bytes = cabinet.m_files[pszFile];
        if (oflag & _O_TRUNC)
        {
            bytes.clear();
        }
        cabinet.m_open.push_back({&bytes, 0});
        *err = 0;
        return static_cast<INT_PTR>(cabinet.m_open.size());
    }
    static FNFCIREAD(Read)
    {
        CCabinet::OpenFile* file = Handle(pv, hf);
        if (!file)
        {
            *err = ERROR_INVALID_HANDLE;
            return static_cast<UINT>(-1);
        }
        const size_t count =
            std::min<size_t>(cb, file->bytes->size() - std::min(file->position, file->bytes->size()));
        memcpy(memory, file->bytes->data() + file->position, count);
        file->position += count;
        return static_cast<UINT>(count);
    }
    static FNFCIWRITE(Write)
    {
        CCabinet::OpenFile* file = Handle(pv, hf);
        if (!file)
        {
            *err = ERROR_INVALID_HANDLE;
            return static_cast<UINT>(-1);
        }
        if (file->bytes->size() < file->position + cb)
        {
            file->bytes->resize(file->position + cb);
        }
        memcpy(file->bytes->data() + file->position, memory, cb);
        file->position += cb;
        return cb;
    }
    static FNFCICLOSE(Close)
    {
        CCabinet::OpenFile* file = Handle(pv, hf);
        *err = file ? 0 : ERROR_INVALID_HANDLE;
        if (file)
        {
            file->bytes = nullptr;
        }
        return file ? 0 : -1;
    }
    static FNFCISEEK(Seek)
    {
        CCabinet::OpenFile* file = Handle(pv, hf);
        if (!file || !file->bytes)
        {
            *err = ERROR_INVALID_HANDLE;
            return -1;
        }
        const long long base = seektype == SEEK_END   ? static_cast<long long>(file->bytes->size())
                               : seektype == SEEK_CUR ? static_cast<long long>(file->position)
                                                      : 0;
        file->position = static_cast<size_t>(std::max(0LL, base + dist));
        return static_cast<__LONG32>(file->position);
    }
    static FNFCIDELETE(Delete)
    {
        Of(pv).m_files.erase(pszFile);
        *err = 0;
        return 0;
    }
    static FNFCIGETTEMPFILE(TemporaryFile)
    {
        const std::string name = "temporary:" + std::to_string(++Of(pv).m_temporaryFiles);
        return static_cast<int>(name.size()) < cbTempName &&
               (memcpy(pszTempName, name.c_str(), name.size() + 1), true);
    }
    static FNFCIFILEPLACED(Placed)
    {
        (void)pccab, (void)pszFile, (void)cbFile, (void)fContinuation, (void)pv;
        return 0;
    }
    static FNFCIGETNEXTCABINET(NextCabinet)
    {
        (void)pccab, (void)cbPrevCab, (void)pv;
        return FALSE; // one cabinet only
    }
    static FNFCISTATUS(Status)
    {
        (void)typeStatus, (void)cb1, (void)cb2, (void)pv;
        return 0;
    }
    static FNFCIGETOPENINFO(OpenInfo)
    {
        SYSTEMTIME now;
        FILETIME time;
        GetLocalTime(&now);
        SystemTimeToFileTime(&now, &time);
        FileTimeToDosDateTime(&time, pdate, ptime);
        *pattribs = _A_NAME_IS_UTF; // names are ASCII, which UTF-8 includes
        return Open(pszName, _O_RDONLY | _O_BINARY, 0, err, pv);
    }
};

void CCabinet::Add(const std::string& name, std::string bytes)
{
    m_names.push_back(name);
    m_files[kSourcePrefix + name] = std::move(bytes);
}

bool CCabinet::Write(const std::wstring& path, std::wstring& why)
{
    CCAB cabinet{};
    cabinet.cb = 0x7FFFFFFF;
    cabinet.cbFolderThresh = 0x7FFFFFFF;
    cabinet.iCab = 1;
    strcpy(cabinet.szCab, kCabinetName);
    ERF error{};
    using Callbacks = CabinetCallbacks;
    HFCI context = FCICreate(&error, Callbacks::Placed, Callbacks::Allocate, Callbacks::Free, Callbacks::Open,
                             Callbacks::Read, Callbacks::Write, Callbacks::Close, Callbacks::Seek,
                             Callbacks::Delete, Callbacks::TemporaryFile, &cabinet, this);
    if (!context)
    {
        why = L"the Cabinet API cannot start (FCI error " + std::to_wstring(error.erfOper) + L")";
        return false;
    }
    bool built = true;
    for (const std::string& name : m_names)
    {
        std::string source = kSourcePrefix + name;
        built = built &&
                FCIAddFile(context, source.data(), const_cast<char*>(name.c_str()), FALSE,
                           Callbacks::NextCabinet, Callbacks::Status, Callbacks::OpenInfo, tcompTYPE_MSZIP);
    }
    built = built && FCIFlushCabinet(context, FALSE, Callbacks::NextCabinet, Callbacks::Status);
    FCIDestroy(context);
    if (!built)
    {
        why = L"the Cabinet API failed (FCI error " + std::to_wstring(error.erfOper) + L")";
        return false;
    }
    const std::string& bytes = m_files[kCabinetName];
    CFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
    {
        why = ErrorText(GetLastError());
        return false;
    }
    return true;
}
