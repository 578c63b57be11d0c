#include "KdDataReport.h"

#include "ReportRecord.h"

KdDataReport& KdDataReport::Instance()
{
    static KdDataReport instance;
    return instance;
}

// Stand-in: records the call, {"call":"Init","id":<id>,"app":"<name>"}.
void KdDataReport::Init(int id, const std::string& appName)
{
    standin::AppendReportRecord("{\"call\":\"Init\",\"id\":" + std::to_string(id) +
                                ",\"app\":" + standin::JsonString(appName) + "}");
}
