// Data report and product questions: what the interface reports, and what the record of
// the reporting libraries then holds.
#include "Host.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>

using namespace host;

namespace {

std::optional<std::wstring> Variable(const wchar_t* name)
{
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) {
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::wstring>(L"");
    }
    std::wstring value(needed, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), needed));
    return value;
}

std::wstring Describe(const wchar_t* name)
{
    const auto value = Variable(name);
    return std::wstring(name) + (value ? L"=\"" + *value + L"\"" : L" not set");
}

// Where the reporting stand-ins write: FERRYDOCK_REPORT_FILE, else their default.
std::wstring RecordFilePath()
{
    if (const auto path = Variable(L"FERRYDOCK_REPORT_FILE")) {
        return *path;
    }
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = length > 0 && length <= MAX_PATH ? std::wstring(temp, length) : L".\\";
    return folder + L"Ferrydock\\FerrydockReport.jsonl";
}

std::string ReadBytes(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The records hold the event text in the ANSI code page, as the libraries received it.
std::wstring FromAnsi(const std::string& bytes)
{
    if (bytes.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), size);
    }
    return wide;
}

int ParseId(const std::wstring& text)
{
    wchar_t* end = nullptr;
    errno = 0;
    const long value = std::wcstol(text.c_str(), &end, 10);
    if (text.empty() || *end != L'\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        throw std::invalid_argument("the event id must be a 32-bit decimal integer");
    }
    return static_cast<int>(value);
}

int RunReport(Api& api, const std::vector<std::wstring>& args)
{
    if (args.size() != 2) {
        throw std::invalid_argument("expects an event id and a JSON text");
    }
    const int id = ParseId(args[0]);
    const std::wstring& json = args[1];
    const std::wstring path = RecordFilePath();
    const std::string::size_type before = ReadBytes(path).size();

    Need(api.InitFerrydockDataReport, "InitFerrydockDataReport")();
    Need(api.SendFerrydockDataReport, "SendFerrydockDataReport")(id, json.c_str(), static_cast<int>(json.size()));

    const std::string bytes = ReadBytes(path);
    const std::string added = bytes.size() > before ? bytes.substr(before) : std::string();
    PrintLine(L"record file: " + path);
    if (added.empty()) {
        PrintLine(L"  (nothing recorded)");
    }
    std::string::size_type start = 0;
    for (auto end = added.find('\n'); end != std::string::npos; end = added.find('\n', start)) {
        PrintLine(L"  " + FromAnsi(added.substr(start, end - start)));
        start = end + 1;
    }
    return 0;
}

int RunEdition(Api& api, const std::vector<std::wstring>& args)
{
    if (!args.empty()) {
        throw std::invalid_argument("takes no arguments");
    }
    const bool it = Need(api.IsITVersion, "IsITVersion")();
    PrintLine(FormatText(L"IT version: %ls (%ls)", it ? L"yes" : L"no", Describe(L"FERRYDOCK_IT_VERSION").c_str()));
    return 0;
}

int RunAgreement(Api& api, const std::vector<std::wstring>& args)
{
    if (!args.empty()) {
        throw std::invalid_argument("takes no arguments");
    }
    const bool agreed = Need(api.IsAgreeClause, "IsAgreeClause")();
    PrintLine(FormatText(L"agreed to the terms: %ls (%ls)", agreed ? L"yes" : L"no",
                         Describe(L"FERRYDOCK_AGREE_CLAUSE").c_str()));
    return 0;
}

Registration reportCommand{{L"report", L"<id> <json>", L"initialise data reporting, report one event, show the record",
                            RunReport,
                            {{L"1001", L"{\"page\":\"main\",\"action\":\"open\",\"note\":\"caf\u00e9\"}"}},
                            60}};
Registration editionCommand{{L"edition", L"", L"whether the product is the IT edition", RunEdition, {{}}, 61}};
Registration agreementCommand{
    {L"agreement", L"", L"whether the user agreed to the terms", RunAgreement, {{}}, 62}};

} // namespace
