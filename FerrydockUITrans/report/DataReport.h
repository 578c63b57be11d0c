// Usage events and product questions, forwarded to the suite's reporting, edition and
// agreement libraries.
#pragma once

namespace FerrydockIpc {

// Starts the suite's data reporting for this application.
void InitFerrydockDataReport();

// Reports event id with its JSON text (converted to the ANSI code page). A null text, a
// negative id or a negative length is refused and logged; length bounds nothing.
void SendFerrydockDataReport(int id, const wchar_t* text, int length);

bool IsITVersion();

// True only when the agreement library answers exactly "1".
bool IsAgreeClause();

} // namespace FerrydockIpc
