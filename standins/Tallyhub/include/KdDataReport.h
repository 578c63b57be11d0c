// Tallyhub.dll: the data report library.
#pragma once

#include <string>

#ifdef TALLYHUB_EXPORTS
#define TALLYHUB_API __declspec(dllexport)
#else
#define TALLYHUB_API __declspec(dllimport)
#endif

class TALLYHUB_API KdDataReport {
public:
    static KdDataReport& Instance();

    // Starts data reporting for the application; may be called again.
    void Init(int id, const std::string& appName);

    KdDataReport(const KdDataReport&) = delete;
    KdDataReport& operator=(const KdDataReport&) = delete;

private:
    KdDataReport() = default;
};
