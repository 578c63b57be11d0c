#include "report/DataReport.h"

#include "common/Log.h"
#include "common/TextConvert.h"

#include "AgreementSign.h"
#include "KdDataReport.h"
#include "SolView.h"
#include "XaloSoftShelf.h"

#include <memory>
#include <string>
#include <utility>

namespace FerrydockIpc {

namespace {

constexpr const char* kSendReport = "FerrydockIpc::SendFerrydockDataReport";

} // namespace

void InitFerrydockDataReport()
{
    const std::string appName = "FerrydockUI";
    KdDataReport::Instance().Init(0, appName);
}

void SendFerrydockDataReport(int id, const wchar_t* text, int length)
{
    if (text == nullptr) {
        Log(LogLevel::Error, kSendReport, "input id or msg is null");
        return;
    }
    if (id < 0 || length < 0) {
        Log(LogLevel::Error, kSendReport, "input id or length is less than 0");
        return;
    }
    const std::unique_ptr<char[]> ansi(WideToAnsi(text));
    if (ansi == nullptr) {
        Log(LogLevel::Error, kSendReport, "trans wchar to char failed");
        return;
    }
    const std::string json(ansi.get());
    SolEvent event = SolView::ByJson(id, json);
    SolView::Report(std::move(event));
}

bool IsITVersion() { return XaloSoftShelf::IsITVersion(); }

bool IsAgreeClause()
{
    const std::string answer = AgreementSign::IsAgreeClause();
    return answer.size() == 1 && answer[0] == '1';
}

} // namespace FerrydockIpc
