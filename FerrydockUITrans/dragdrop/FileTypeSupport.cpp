#include "common/Log.h"
#include "ipc/IPCHelper.h"

#include "XaloSoftShelf.h"

#include <string>

namespace FerrydockIpc {

namespace {

constexpr const char* kWhere = "FerrydockIpc::IPCHelper::IsSupportFileType";

const std::wstring kRefusedApk = L"apk";
const std::wstring kRefusedExe = L"exe";

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

// A member of the IPC helper, though it uses none of its state: the interface reaches
// it through the helper, which is created on first use like every IPC export.
bool IPCHelper::IsSupportFileType(const wchar_t* file)
{
    if (file == nullptr) {
        Log(LogLevel::Notice, kWhere, "[FD]IsSupportFileType file is nullptr");
        return false;
    }
    if (XaloSoftShelf::GetInstance()->IsSupportProperty("KDLoginGuide", "china")) {
        return true;
    }
    // The last dot of the whole path, so a dotted folder name can supply the "extension".
    const std::wstring name(file);
    const std::size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos) {
        return true;
    }
    const std::wstring extension = name.substr(dot + 1);
    if (EqualsIgnoringAsciiCase(extension, kRefusedApk) || EqualsIgnoringAsciiCase(extension, kRefusedExe)) {
        Log(LogLevel::Error, kWhere, "DRAGDROP - Contains file types that do not support transfer ", extension);
        return false;
    }
    return true;
}

} // namespace FerrydockIpc
