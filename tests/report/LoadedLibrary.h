// FerrydockUITrans.dll loaded by name, as the interface loads it, for the life of the object.
#pragma once

#include <windows.h>

namespace reporttest {

class LoadedLibrary {
public:
    LoadedLibrary() : module_(LoadLibraryW(L"FerrydockUITrans.dll")) {}
    ~LoadedLibrary()
    {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    bool Loaded() const { return module_ != nullptr; }

    // Null when the library lacks the export.
    template <typename Fn>
    Fn Resolve(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

} // namespace reporttest
