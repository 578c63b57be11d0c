// A fresh file for the reporting stand-ins' records, named by FERRYDOCK_REPORT_FILE
// while the object lives; its lines are read back as the bytes that were written.
#pragma once

#include "ScopedVariable.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace reporttest {

inline std::wstring NewTempFile()
{
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, folder);
    wchar_t path[MAX_PATH + 1] = {};
    GetTempFileNameW(folder, L"rpt", 0, path);
    return path;
}

class RecordFile {
public:
    RecordFile() : path_(NewTempFile()), variable_(L"FERRYDOCK_REPORT_FILE", path_) {}
    ~RecordFile() { DeleteFileW(path_.c_str()); }
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    const std::wstring& Path() const { return path_; }
    void Clear() { DeleteFileW(path_.c_str()); }

    std::vector<std::string> Lines() const
    {
        std::ifstream file(path_.c_str(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::vector<std::string> lines;
        std::string::size_type start = 0;
        for (auto end = bytes.find('\n'); end != std::string::npos; end = bytes.find('\n', start)) {
            lines.push_back(bytes.substr(start, end - start));
            start = end + 1;
        }
        if (start < bytes.size()) {
            lines.push_back(bytes.substr(start) + "<no line end>");
        }
        return lines;
    }

private:
    std::wstring path_;
    ScopedVariable variable_;
};

} // namespace reporttest
