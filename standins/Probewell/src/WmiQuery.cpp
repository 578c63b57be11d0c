#include "WmiQuery.h"

#include "ferrydock/Resource.h"

#include <functional>
#include <vector>

// Stand-in: no management service is asked. The answers come from a fixed table, so that
// a caller sees values, a query without a value and failures:
//
//   ROOT\CIMV2  SELECT Caption FROM Win32_OperatingSystem  -> "Windows (stand-in)"
//   ROOT\CIMV2  SELECT Name FROM Win32_VideoController      -> "Display adapter 1", "Display adapter 2"
//   ROOT\CIMV2  SELECT SerialNumber FROM Win32_BIOS          -> one null value (no text)
//   ROOT\WMI    SELECT InstanceName FROM MSAcpi_ThermalZoneTemperature -> no row
//   any other query in those namespaces                      -> 0x80041010 (invalid class)
//   any other namespace                                      -> 0x8004100E (invalid namespace)
//
// Namespaces and queries compare without regard to case, as the service does.
namespace {

constexpr int kInvalidNamespace = static_cast<int>(0x8004100E);
constexpr int kInvalidClass = static_cast<int>(0x80041010);

struct Row {
    const wchar_t* nameSpace;
    const wchar_t* query;
    std::vector<const wchar_t*> values; // null: a value that holds no text
};

const std::vector<Row>& Table()
{
    static const std::vector<Row> rows = {
        {L"ROOT\\CIMV2", L"SELECT Caption FROM Win32_OperatingSystem", {L"Windows (stand-in)"}},
        {L"ROOT\\CIMV2", L"SELECT Name FROM Win32_VideoController", {L"Display adapter 1", L"Display adapter 2"}},
        {L"ROOT\\CIMV2", L"SELECT SerialNumber FROM Win32_BIOS", {nullptr}},
        {L"ROOT\\WMI", L"SELECT InstanceName FROM MSAcpi_ThermalZoneTemperature", {}},
    };
    return rows;
}

bool SameText(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

// Hands onValue a VARIANT holding the text (or null), cleared once it returns.
void HandOut(const wchar_t* text, const std::function<void(VARIANT&)>& onValue)
{
    VARIANT variant;
    VariantInit(&variant);
    if (text != nullptr) {
        variant.vt = VT_BSTR;
        variant.bstrVal = SysAllocString(text);
    } else {
        variant.vt = VT_NULL;
    }
    const auto clear = FerrydockIpc::OnScopeExit([&] { VariantClear(&variant); });
    onValue(variant);
}

} // namespace

namespace KdSDK {

WmiQuery::WmiQuery() = default;

int WmiQuery::ExcuteQueryImpl(const std::wstring& nameSpace, const std::wstring& query, bool firstOnly,
                              const std::function<void(VARIANT&)>& onValue)
{
    bool namespaceKnown = false;
    for (const Row& row : Table()) {
        if (!SameText(nameSpace, row.nameSpace)) {
            continue;
        }
        namespaceKnown = true;
        connectedNamespace_ = row.nameSpace;
        if (!SameText(query, row.query)) {
            continue;
        }
        for (const wchar_t* text : row.values) {
            HandOut(text, onValue);
            if (firstOnly) {
                break;
            }
        }
        return 0;
    }
    return namespaceKnown ? kInvalidClass : kInvalidNamespace;
}

void WmiQuery::GetResult(const VARIANT& value, std::list<std::wstring>& results)
{
    if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
        results.emplace_back(value.bstrVal, SysStringLen(value.bstrVal));
    }
}

} // namespace KdSDK
