// Members that the suite's shared declarations define in line and that programs loading
// this library take from it (see the exported class members in FerrydockUITrans.def).
// Including the declarations here, where their members are marked for export, makes the
// compiler emit every one of them; the definitions below are those the headers leave to
// a single place.
#include "CryptBase.h"
#include "SolView.h"
#include "WmiQuery.h"
#include "XaloSoftShelf.h"

const std::uint64_t SolEvent::MAX_KEY_LEN;
const std::uint64_t SolEvent::MAX_PAIR_NUM;
const std::uint64_t SolEvent::MAX_PATH_LEN;
const std::uint64_t SolEvent::MAX_FILE_NUM;
const std::uint64_t SolEvent::MAX_ARR_SIZE;
const std::uint64_t SolEvent::MAX_VALUE_LEN;
const std::int32_t SolEvent::INVALID_NUM;

namespace KdSDK {

const wchar_t NAMESPACE_WMI[] = L"ROOT\\WMI";
const wchar_t NAMESPACE_CIMV2[] = L"ROOT\\CIMV2";

template PROBEWELL_INLINE int WmiQuery::ExcuteQuery<std::wstring>(const std::wstring&, const std::wstring&,
                                                                  std::list<std::wstring>&, bool);

} // namespace KdSDK
