// Replaces one entry of a loaded module's import address table for the life of the
// object, so that a test can see or fail what the module passes to the system.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

class ImportPatch {
public:
    // module: the importing module (GetModuleHandle(nullptr) for the test itself);
    // dll: the imported DLL's name, any case; function: the imported name.
    ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool active() const { return slot_ != nullptr; }
    // What the import slot of function currently holds; null when the module lacks it.
    static void* CurrentTarget(HMODULE module, const char* dll, const char* function);
    // The function that the entry held before the patch.
    template <typename Fn>
    Fn original() const
    {
        return reinterpret_cast<Fn>(original_);
    }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

struct ImportedFunction {
    std::string dll;
    std::string function;
};

// Every function a loaded module imports by name.
std::vector<ImportedFunction> ListImports(HMODULE module);

} // namespace testsupport
