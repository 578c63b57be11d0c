#include "support/ImportPatch.h"

#include <cstring>

namespace testsupport {

namespace {

template <typename T>
T* At(HMODULE module, DWORD rva)
{
    return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

const IMAGE_IMPORT_DESCRIPTOR* FirstImport(HMODULE module)
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
    const auto* nt = At<IMAGE_NT_HEADERS>(module, static_cast<DWORD>(dos->e_lfanew));
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) {
        return nullptr;
    }
    return At<IMAGE_IMPORT_DESCRIPTOR>(module, dir.VirtualAddress);
}

template <typename Visit>
void ForEachImport(HMODULE module, Visit visit)
{
    for (const IMAGE_IMPORT_DESCRIPTOR* desc = FirstImport(module); desc != nullptr && desc->Name != 0; ++desc) {
        const char* dll = At<char>(module, desc->Name);
        const DWORD namesRva = desc->OriginalFirstThunk != 0 ? desc->OriginalFirstThunk : desc->FirstThunk;
        auto* names = At<IMAGE_THUNK_DATA>(module, namesRva);
        auto* slots = At<IMAGE_THUNK_DATA>(module, desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = At<IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData));
            if (visit(dll, reinterpret_cast<const char*>(byName->Name), reinterpret_cast<void**>(&slots->u1.Function))) {
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
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof(void*));
}

void** FindSlot(HMODULE module, const char* dll, const char* function)
{
    void** found = nullptr;
    ForEachImport(module, [&](const char* importDll, const char* name, void** slot) {
        if (_stricmp(importDll, dll) != 0 || std::strcmp(name, function) != 0) {
            return false;
        }
        found = slot;
        return true;
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
{
    slot_ = FindSlot(module, dll, function);
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
