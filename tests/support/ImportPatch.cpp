#include "support/ImportPatch.h"

#include <cstring>

namespace testsupport {

namespace {

template <typename T>
T* At(HMODULE module, ULONG_PTR rva)
{
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

// Calls visit(dll, function, slot) for every import by name until it returns true.
template <typename Visit>
void ForEachImport(HMODULE module, Visit visit)
{
    const auto* nt = At<IMAGE_NT_HEADERS>(module, At<IMAGE_DOS_HEADER>(module, 0)->e_lfanew);
    const DWORD rva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* desc = At<IMAGE_IMPORT_DESCRIPTOR>(module, rva); rva != 0 && desc->Name != 0; ++desc) {
        const DWORD first = desc->OriginalFirstThunk != 0 ? desc->OriginalFirstThunk : desc->FirstThunk;
        auto* names = At<IMAGE_THUNK_DATA>(module, first);
        auto* slots = At<IMAGE_THUNK_DATA>(module, desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                visit(At<char>(module, desc->Name),
                      reinterpret_cast<const char*>(At<IMAGE_IMPORT_BY_NAME>(module, names->u1.AddressOfData)->Name),
                      reinterpret_cast<void**>(&slots->u1.Function))) {
                return;
            }
        }
    }
}

void WriteSlot(void** slot, void* value)
{
    DWORD oldProtect = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtect);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), oldProtect, &oldProtect);
}

void** FindSlot(HMODULE module, const char* dll, const char* function)
{
    void** found = nullptr;
    ForEachImport(module, [&](const char* importDll, const char* name, void** slot) {
        found = _stricmp(importDll, dll) == 0 && std::strcmp(name, function) == 0 ? slot : nullptr;
        return found != nullptr;
    });
    return found;
}

} // namespace

void* ImportPatch::CurrentTarget(HMODULE module, const char* dll, const char* function)
{
    void** slot = FindSlot(module, dll, function);
    return slot != nullptr ? *slot : nullptr;
}

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement)
    : slot_(FindSlot(module, dll, function))
{
    if (slot_ != nullptr) {
        original_ = *slot_;
        WriteSlot(slot_, replacement);
    }
}

ImportPatch::~ImportPatch()
{
    if (slot_ != nullptr) {
        WriteSlot(slot_, original_);
    }
}

std::vector<ImportedFunction> ListImports(HMODULE module)
{
    std::vector<ImportedFunction> imports;
    ForEachImport(module, [&](const char* dll, const char* name, void**) {
        imports.push_back({dll, name});
        return false;
    });
    return imports;
}

} // namespace testsupport
