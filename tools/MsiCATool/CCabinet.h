#pragma once
#include <windows.h>
#include <map>
#include <string>
#include <vector>

// A cabinet file built with the system's Cabinet API (FCI of cabinet.dll), MSZIP-compressed.
// FCI reads its sources, keeps its temporary files and writes the cabinet through callbacks
// that here work in memory: nothing but the cabinet itself reaches the disk.
class CCabinet
{
  public:
    // A file of the cabinet; name may hold folders ("logs\\MSI1.LOG"), in ASCII.
    void Add(const std::string& name, std::string bytes);
    // Writes the cabinet of every file added; why tells a failure.
    bool Write(const std::wstring& path, std::wstring& why);

  private:
    struct OpenFile
    {
        std::string* bytes;
        size_t position;
    };
    friend struct CabinetCallbacks;

    std::vector<std::string> m_names;           // in the order added
    std::map<std::string, std::string> m_files; // sources, FCI's temporary files, the cabinet
    std::vector<OpenFile> m_open;               // a handle is its index + 1
    int m_temporaryFiles = 0;
};
