// save-dir, db-dir, user: the folder paths and the SID text as the interface gets them.
#include "Host.h"
#include "ferrydock/Resource.h"

#include <sddl.h>

#include <memory>

using namespace host;

namespace {

constexpr int kDefaultLength = 1024;

int ParseLength(const std::vector<std::wstring>& args)
{
    if (args.empty()) {
        return kDefaultLength;
    }
    if (args.size() > 1) {
        throw std::invalid_argument("too many arguments");
    }
    wchar_t* end = nullptr;
    const long value = std::wcstol(args[0].c_str(), &end, 10);
    if (end == args[0].c_str() || *end != L'\0' || value < 0 || value > 32768) {
        throw std::invalid_argument("length must be a number from 0 to 32768");
    }
    return static_cast<int>(value);
}

std::wstring AttributeNames(DWORD attributes)
{
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return L"missing";
    }
    static const struct {
        DWORD bit;
        const wchar_t* name;
    } names[] = {{FILE_ATTRIBUTE_DIRECTORY, L"directory"}, {FILE_ATTRIBUTE_HIDDEN, L"hidden"},
                 {FILE_ATTRIBUTE_SYSTEM, L"system"},       {FILE_ATTRIBUTE_READONLY, L"read-only"},
                 {FILE_ATTRIBUTE_ARCHIVE, L"archive"}};
    std::wstring text = FormatText(L"0x%08lX", attributes);
    const wchar_t* separator = L" (";
    for (const auto& entry : names) {
        if ((attributes & entry.bit) != 0) {
            text += separator;
            text += entry.name;
            separator = L", ";
        }
    }
    return attributes != 0 && separator[0] == L',' ? text + L")" : text;
}

// The folder's access list as SDDL, as the system reports it back.
std::wstring AccessListText(const std::wstring& path)
{
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) {
        return FormatText(L"unreadable (error %lu)", GetLastError());
    }
    std::unique_ptr<BYTE[]> descriptor(new BYTE[needed]);
    FerrydockIpc::UniqueResource<LPWSTR, ::LocalFree> text;
    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.get(), needed, &needed) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, text.put(), nullptr)) {
        return FormatText(L"unreadable (error %lu)", GetLastError());
    }
    return text.get();
}

void PrintFolder(const wchar_t* label, const std::wstring& path)
{
    PrintLine(FormatText(L"  %-15ls %ls", label, path.c_str()));
    PrintLine(FormatText(L"  %-15ls %ls", L"attributes", AttributeNames(GetFileAttributesW(path.c_str())).c_str()));
    PrintLine(FormatText(L"  %-15ls %ls", L"list read back", AccessListText(path).c_str()));
}

int RunFolder(PFN_GetTextIntoBuffer get, const char* exportName, const std::vector<std::wstring>& args)
{
    const int length = ParseLength(args);
    std::vector<wchar_t> buffer(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    Need(get, exportName)(buffer.data(), length);
    const std::wstring path = buffer.data();
    PrintLine(FormatText(L"%hs: \"%ls\"", exportName, path.c_str()));
    if (path.empty()) {
        return 1;
    }
    PrintFolder(L"folder", path);
    const auto separator = path.find_last_of(L'\\', path.size() - 2);
    if (separator != std::wstring::npos) {
        PrintFolder(L"product folder", path.substr(0, separator + 1));
    }
    return 0;
}

int RunSaveDir(Api& api, const std::vector<std::wstring>& args)
{
    return RunFolder(api.GetSaveFileDir, "GetSaveFileDir", args);
}

int RunDbDir(Api& api, const std::vector<std::wstring>& args)
{
    return RunFolder(api.GetSaveDbDir, "GetSaveDbDir", args);
}

int RunUser(Api& api, const std::vector<std::wstring>& args)
{
    const int length = ParseLength(args);
    std::vector<wchar_t> buffer(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    Need(api.GetCurrentUserName, "GetCurrentUserName")(buffer.data(), length);
    PrintLine(FormatText(L"GetCurrentUserName: \"%ls\"", buffer.data()));
    return buffer[0] == L'\0' ? 1 : 0;
}

Registration userCommand{{L"user", L"[length]", L"print the SID text of the session's user", RunUser, {{}}, 40}};
Registration saveDirCommand{
    {L"save-dir", L"[length]", L"print the received-files folder, its attributes and access list", RunSaveDir, {{}}, 41}};
Registration dbDirCommand{
    {L"db-dir", L"[length]", L"print the database folder, its attributes and access list", RunDbDir, {{}}, 42}};

} // namespace
