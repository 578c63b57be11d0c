#include "AgreementSign.h"

#include <windows.h>

namespace {

// Answer when FERRYDOCK_AGREE_CLAUSE is absent: the user has agreed.
const char kDefaultAnswer[] = "1";

} // namespace

// Stand-in: the answer is FERRYDOCK_AGREE_CLAUSE as it stands, read at every call. A
// variable that is set but empty is an empty answer, not an absent one.
std::string AgreementSign::IsAgreeClause()
{
    SetLastError(ERROR_SUCCESS);
    const DWORD needed = GetEnvironmentVariableA("FERRYDOCK_AGREE_CLAUSE", nullptr, 0);
    if (needed == 0) {
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? kDefaultAnswer : "";
    }
    std::string value(needed, '\0');
    const DWORD length = GetEnvironmentVariableA("FERRYDOCK_AGREE_CLAUSE", value.data(), needed);
    value.resize(length < needed ? length : 0);
    return value;
}
