// The byte layouts that drop targets expect for each offered format.
#include "dragdrop/DataObject.h"

#include "common/Log.h"
#include "common/TextConvert.h"
#include "ferrydock/Resource.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace FerrydockIpc {

namespace {

constexpr const char* kSetFileData = "FerrydockIpc::FerrydockDataObject::SetFileData";
constexpr const char* kSetTextData = "FerrydockIpc::FerrydockDataObject::SetTextData";
constexpr const char* kSetHtmlData = "FerrydockIpc::FerrydockDataObject::SetHtmlData";
constexpr const char* kSetQQFormatData = "FerrydockIpc::FerrydockDataObject::SetQQFormatData";
constexpr const char* kSetLabelData = "FerrydockIpc::FerrydockDataObject::SetLabelData";
constexpr const char* kRefreshHtmlInfo = "FerrydockIpc::FerrydockDataObject::RefreshHtmlInfo";
constexpr const char* kCopyFileName = "FerrydockIpc::FerrydockDataObject::CopyFileNameToHGlobal";
constexpr const char* kCopyText = "FerrydockIpc::FerrydockDataObject::CopyTextToHGlobal";

constexpr UINT kFileBlockFlags = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_SHARE;
constexpr wchar_t kLabel[] = L"windowscast";

FORMATETC PayloadFormat(UINT format)
{
    return FORMATETC{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
}

void StartMedium(STGMEDIUM& medium)
{
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = nullptr;
    medium.pUnkForRelease = nullptr;
}

// Writes "%08u" and a carriage return over the nine characters after the field name and its
// colon. Fails without writing when the value needs more digits or when the nine characters
// would run past the end of the text.
bool WriteHeaderNumber(std::string& html, std::size_t namePos, std::size_t nameLength, std::size_t value)
{
    constexpr std::size_t kDigits = 8;
    const std::size_t first = namePos + nameLength + 1;
    if (value > 99999999u || first + kDigits >= html.size()) {
        return false;
    }
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%08u\r", static_cast<unsigned>(value));
    html.replace(first, kDigits + 1, digits, kDigits + 1);
    return true;
}

} // namespace

void FerrydockDataObject::SetFileData(const std::vector<std::wstring>& files)
{
    Log(LogLevel::Notice, kSetFileData, "SetFileData begin");
    StartMedium(fileMedium);
    CopyFileNameToHGlobal(&fileMedium.hGlobal, files);
    FORMATETC format = PayloadFormat(CF_HDROP);
    SetData(&format, &fileMedium, FALSE);
    ReleaseStgMedium(&fileMedium);
    Log(LogLevel::Notice, kSetFileData, "SetFileData end");
    hasFile = true;
}

void FerrydockDataObject::SetTextData(const std::wstring& text)
{
    Log(LogLevel::Notice, kSetTextData, "SetTextData begin");
    if (text.empty()) {
        Log(LogLevel::Notice, kSetTextData, "text is empty");
        return;
    }
    StartMedium(textMedium);
    const std::size_t units = std::wcslen(text.c_str()) + 1;
    CopyTextToHGlobal(&textMedium.hGlobal, text.c_str(), units * sizeof(wchar_t));
    FORMATETC format = PayloadFormat(CF_UNICODETEXT);
    SetData(&format, &textMedium, FALSE);
    Log(LogLevel::Notice, kSetTextData, "SetTextData end");
    hasText = true;
}

void FerrydockDataObject::SetHtmlData(const std::wstring& html)
{
    Log(LogLevel::Notice, kSetHtmlData, "SetHtmlData begin");
    if (html.empty()) {
        Log(LogLevel::Notice, kSetHtmlData, "html is empty");
        return;
    }
    const std::string refreshed = RefreshHtmlInfo(WideToUtf8PerUnit(html.data(), html.data() + html.size()));
    StartMedium(htmlMedium);
    CopyTextToHGlobal(&htmlMedium.hGlobal, refreshed.c_str(), refreshed.size() + 1);
    FORMATETC format = PayloadFormat(cfHtml);
    SetData(&format, &htmlMedium, FALSE);
    Log(LogLevel::Notice, kSetHtmlData, "SetHtmlData end");
    hasHtml = true;
}

void FerrydockDataObject::SetQQFormatData(const std::wstring& qqFormat)
{
    Log(LogLevel::Notice, kSetQQFormatData, "Set unicode format begin");
    if (qqFormat.empty()) {
        Log(LogLevel::Notice, kSetQQFormatData, "unicode format is empty");
        return;
    }
    const std::string utf8 = WideToUtf8PerUnit(qqFormat.data(), qqFormat.data() + qqFormat.size());
    StartMedium(qqFormatMedium);
    CopyTextToHGlobal(&qqFormatMedium.hGlobal, utf8.c_str(), utf8.size() + 1);
    FORMATETC format = PayloadFormat(cfQQFormat);
    SetData(&format, &qqFormatMedium, FALSE);
    Log(LogLevel::Notice, kSetQQFormatData, "unicode format end");
    hasQQFormat = true;
}

void FerrydockDataObject::SetLabelData()
{
    Log(LogLevel::Notice, kSetLabelData, "SetLabelData begin");
    StartMedium(labelMedium);
    CopyTextToHGlobal(&labelMedium.hGlobal, kLabel, sizeof(kLabel));
    FORMATETC format = PayloadFormat(cfLabel);
    SetData(&format, &labelMedium, FALSE);
    Log(LogLevel::Notice, kSetLabelData, "SetLabelData end");
}

std::string FerrydockDataObject::RefreshHtmlInfo(std::string html)
{
    struct Field {
        const char* name;
        std::size_t (*value)(const std::string&);
        const char* failure;
    };
    static const Field fields[] = {
        {"StartHTML", [](const std::string& t) { return t.find("<html>"); }, "sprintf_s StartHTML failed"},
        {"EndHTML", [](const std::string& t) { return t.size(); }, "sprintf_s EndHTML failed"},
        {"StartFragment", [](const std::string& t) { return t.find("<!--StartFrag"); },
         "sprintf_s StartFragment failed"},
        {"EndFragment", [](const std::string& t) { return t.rfind("<!--EndFrag"); }, "sprintf_s EndFragment failed"},
    };
    for (const Field& field : fields) {
        const std::size_t namePos = html.find(field.name);
        if (namePos == std::string::npos) {
            if (&field == &fields[0]) {
                Log(LogLevel::Notice, kRefreshHtmlInfo, "find StartHTML failed");
            }
            return std::string();
        }
        if (!WriteHeaderNumber(html, namePos, std::strlen(field.name), field.value(html))) {
            Log(LogLevel::Notice, kRefreshHtmlInfo, field.failure);
            return std::string();
        }
    }
    return html;
}

bool FerrydockDataObject::CopyFileNameToHGlobal(HGLOBAL* target, const std::vector<std::wstring>& files)
{
    std::size_t units = 1;
    for (const std::wstring& file : files) {
        units += file.size() + 1;
    }
    const std::size_t size = sizeof(DROPFILES) + units * sizeof(wchar_t);
    *target = GlobalAlloc(kFileBlockFlags, size);
    if (*target == nullptr) {
        return false;
    }
    GlobalLock lock(*target);
    if (!lock) {
        return false;
    }
    auto* header = static_cast<DROPFILES*>(lock.data());
    header->pFiles = sizeof(DROPFILES);
    header->pt = POINT{0, 0};
    header->fNC = FALSE;
    header->fWide = TRUE;
    auto* names = reinterpret_cast<wchar_t*>(static_cast<BYTE*>(lock.data()) + sizeof(DROPFILES));
    // The zero-filled block already holds every terminator.
    std::size_t room = units;
    for (const std::wstring& file : files) {
        const errno_t err = memcpy_s(names, room * sizeof(wchar_t), file.c_str(), (file.size() + 1) * sizeof(wchar_t));
        if (err != 0) {
            Log(LogLevel::Error, kCopyFileName, "memcpy_s failed in CopyFileNameToHGlobal, err=", err);
            return false;
        }
        names += file.size() + 1;
        room -= file.size() + 1;
    }
    return true;
}

bool FerrydockDataObject::CopyTextToHGlobal(HGLOBAL* target, const void* source, std::size_t count)
{
    UniqueGlobalMemory block(GlobalAlloc(GMEM_FIXED, count));
    if (!block) {
        return false;
    }
    {
        GlobalLock lock(block.get());
        if (!lock) {
            return false;
        }
        const errno_t err = memcpy_s(lock.data(), count, source, count);
        if (err != 0) {
            Log(LogLevel::Notice, kCopyText, "memcpy_s failed in CopyTextToHGlobal, err=", err);
            return false;
        }
    }
    *target = block.release();
    return true;
}

} // namespace FerrydockIpc
