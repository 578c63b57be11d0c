#include "support/PeFile.h"

#include <windows.h>

namespace testsupport {

std::vector<std::string> ReadExportNames(const std::wstring& path)
{
    // Mapped as an image resource: laid out by section like a loaded module, but with no code
    // run and no import bound, so the export directory is read as the file states it.
    const HMODULE mapped = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (mapped == nullptr) {
        return {};
    }
    const auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(mapped) & ~ULONG_PTR{3});
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    std::vector<std::string> names;
    if (rva != 0) {
        const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + rva);
        const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
        }
    }
    FreeLibrary(mapped);
    return names;
}

std::wstring BesideExecutable(const wchar_t* fileName)
{
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.erase(folder.find_last_of(L"\\/") + 1) + fileName;
}

} // namespace testsupport
