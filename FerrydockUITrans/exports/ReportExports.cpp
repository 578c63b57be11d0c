#include "FerrydockUITrans.h"

#include "report/DataReport.h"

extern "C" void FERRYDOCK_CALL InitFerrydockDataReport(void) { FerrydockIpc::InitFerrydockDataReport(); }

extern "C" void FERRYDOCK_CALL SendFerrydockDataReport(int id, const wchar_t* text, int length)
{
    FerrydockIpc::SendFerrydockDataReport(id, text, length);
}

extern "C" bool FERRYDOCK_CALL IsITVersion(void) { return FerrydockIpc::IsITVersion(); }

extern "C" bool FERRYDOCK_CALL IsAgreeClause(void) { return FerrydockIpc::IsAgreeClause(); }
