#include "Host.h"

#include <algorithm>

using namespace host;

namespace {

std::wstring FileVersion(HMODULE module)
{
    wchar_t path[MAX_PATH];
    if (GetModuleFileNameW(module, path, MAX_PATH) == 0) {
        return L"?";
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || info == nullptr) {
        return L"unknown";
    }
    return FormatText(L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                      HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
}

int RunVersion(Api& api, const std::vector<std::wstring>&)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(api.module, path, MAX_PATH);
    PrintLine(FormatText(L"FerrydockUITrans.dll %ls", FileVersion(api.module).c_str()));
    PrintLine(FormatText(L"  loaded from %ls", path));
    return 0;
}

int RunExports(Api& api, const std::vector<std::wstring>&)
{
    int found = 0;
    const auto table = ExportTable(api);
    for (const ExportSlot& entry : table) {
        const bool present = *entry.slot != nullptr;
        found += present ? 1 : 0;
        PrintLine(FormatText(L"  %-46hs %ls", entry.name, present ? L"found" : L"-"));
    }
    PrintLine(FormatText(L"%d of %zu exports found", found, table.size()));
    return 0;
}

Registration versionCommand{{L"version", L"", L"print the library's file version", RunVersion, {{}}, 0}};
Registration exportsCommand{{L"exports", L"", L"list which exports the library has", RunExports, {{}}, 1}};

void PrintHelp()
{
    PrintLine(L"usage: FerrydockHost <command> [arguments]");
    PrintLine(L"commands:");
    PrintLine(L"  help                       this text");
    PrintLine(L"  demo                       run every command of the demo in turn");
    for (const Command& command : Commands()) {
        const std::wstring head = std::wstring(command.name) + L" " + command.usage;
        PrintLine(FormatText(L"  %-26ls %ls", head.c_str(), command.summary));
    }
}

int RunDemo(Api& api)
{
    std::vector<const Command*> ordered;
    for (const Command& command : Commands()) {
        if (!command.demoRuns.empty()) {
            ordered.push_back(&command);
        }
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Command* a, const Command* b) { return a->demoOrder < b->demoOrder; });
    int status = 0;
    for (const Command* command : ordered) {
        for (const auto& args : command->demoRuns) {
            std::wstring line = L"> " + std::wstring(command->name);
            for (const auto& arg : args) {
                line += L" " + arg;
            }
            PrintLine(line);
            try {
                status |= command->run(api, args);
            } catch (const std::exception& e) {
                PrintLine(FormatText(L"error: %hs", e.what()));
                status |= 1;
            }
        }
    }
    return status;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2 || std::wstring(argv[1]) == L"help" || std::wstring(argv[1]) == L"--help") {
        PrintHelp();
        return argc < 2 ? 2 : 0;
    }
    const std::wstring name = argv[1];
    const std::vector<std::wstring> args(argv + 2, argv + argc);
    const auto& commands = Commands();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&](const Command& c) { return name == c.name; });
    if (name != L"demo" && command == commands.end()) {
        PrintLine(L"error: unknown command '" + name + L"' (see FerrydockHost help)");
        return 2;
    }
    Api api;
    if (!LoadApi(api)) {
        return 1;
    }
    try {
        return name == L"demo" ? RunDemo(api) : command->run(api, args);
    } catch (const std::invalid_argument& e) {
        PrintLine(FormatText(L"error: %hs (usage: %ls %ls)", e.what(), command->name, command->usage));
        return 2;
    } catch (const std::exception& e) {
        PrintLine(FormatText(L"error: %hs", e.what()));
        return 1;
    }
}
