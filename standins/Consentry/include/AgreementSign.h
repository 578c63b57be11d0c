// Consentry.dll: the agreement library (whether the user agreed to the terms).
#pragma once

#include <string>

#ifdef CONSENTRY_EXPORTS
#define CONSENTRY_API __declspec(dllexport)
#else
#define CONSENTRY_API __declspec(dllimport)
#endif

class AgreementSign {
public:
    // The stored agreement state as text; "1" means agreed.
    CONSENTRY_API static std::string IsAgreeClause();
};
