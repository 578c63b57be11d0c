// Environment of the stand-ins for one test: a variable set (nullopt: removed) and then removed,
// and a fresh record file named by FERRYDOCK_REPORT_FILE whose lines are read back as written.
#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace reporttest {

// Each test case runs in a process of its own, where nothing else sets these variables.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::optional<std::wstring>& value) : name_(name)
    {
        SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_.c_str(), nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::wstring name_;
};

class RecordFile {
public:
    RecordFile() : path_(NewTempFile()), variable_(L"FERRYDOCK_REPORT_FILE", path_) {}
    ~RecordFile() { Clear(); }
    void Clear() { DeleteFileW(path_.c_str()); }
    // A last line without its line end is marked.
    std::vector<std::string> Lines() const
    {
        std::ifstream file(path_.c_str(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::vector<std::string> lines;
        std::string::size_type start = 0;
        for (auto end = bytes.find('\n'); end != std::string::npos; end = bytes.find('\n', start = end + 1)) {
            lines.push_back(bytes.substr(start, end - start));
        }
        if (start < bytes.size()) {
            lines.push_back(bytes.substr(start) + "<no line end>");
        }
        return lines;
    }

private:
    static std::wstring NewTempFile()
    {
        wchar_t folder[MAX_PATH + 1] = {}, path[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"rpt", 0, path);
        return path;
    }
    std::wstring path_;
    ScopedVariable variable_;
};

} // namespace reporttest
