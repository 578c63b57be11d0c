// Probewell.dll: management (WMI) queries of the suite. ExcuteQuery for wide-string
// results, the destructor and the two namespace names are emitted and exported by
// FerrydockUITrans.dll; a program that defines FERRYDOCK_IMPORT_SUITE_INLINES takes
// them from there.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <list>
#include <string>

#ifdef PROBEWELL_EXPORTS
#define PROBEWELL_API __declspec(dllexport)
#else
#define PROBEWELL_API __declspec(dllimport)
#endif

#if defined(FERRYDOCK_UI_TRANS_BUILDING)
#define PROBEWELL_INLINE __declspec(dllexport)
#elif defined(FERRYDOCK_IMPORT_SUITE_INLINES)
#define PROBEWELL_INLINE __declspec(dllimport)
#else
#define PROBEWELL_INLINE
#endif

namespace KdSDK {

// Management namespaces to query: "ROOT\WMI" and "ROOT\CIMV2".
PROBEWELL_INLINE extern const wchar_t NAMESPACE_WMI[];
PROBEWELL_INLINE extern const wchar_t NAMESPACE_CIMV2[];

// Status when a query ran but gave no value.
constexpr int WMI_QUERY_NO_RESULT = -15;

class WmiQuery {
public:
    PROBEWELL_API WmiQuery();
    PROBEWELL_INLINE ~WmiQuery();

    WmiQuery(const WmiQuery&) = delete;
    WmiQuery& operator=(const WmiQuery&) = delete;

    // Runs query in the namespace nameSpace and collects the values into results
    // (emptied first). firstOnly stops after the first value. 0 when at least one value
    // came back, WMI_QUERY_NO_RESULT when none did, else the failure's status.
    template <typename Result>
    int ExcuteQuery(const std::wstring& nameSpace, const std::wstring& query, std::list<Result>& results,
                    bool firstOnly);

private:
    // Hands every value of every row to onValue; 0 or the failure's status.
    PROBEWELL_API int ExcuteQueryImpl(const std::wstring& nameSpace, const std::wstring& query, bool firstOnly,
                                      const std::function<void(VARIANT&)>& onValue);
    // Appends the value to results when it holds text.
    PROBEWELL_API void GetResult(const VARIANT& value, std::list<std::wstring>& results);

    std::wstring connectedNamespace_; // the namespace of the last query
};

#ifndef FERRYDOCK_IMPORT_SUITE_INLINES

inline WmiQuery::~WmiQuery() = default;

template <typename Result>
int WmiQuery::ExcuteQuery(const std::wstring& nameSpace, const std::wstring& query, std::list<Result>& results,
                          bool firstOnly)
{
    results.clear();
    const std::function<void(VARIANT&)> onValue = [this, &results](VARIANT& value) { GetResult(value, results); };
    const int status = ExcuteQueryImpl(nameSpace, query, firstOnly, onValue);
    if (status != 0) {
        return status;
    }
    return results.empty() ? WMI_QUERY_NO_RESULT : 0;
}

#endif // FERRYDOCK_IMPORT_SUITE_INLINES

} // namespace KdSDK
