// Jotter.dll: the suite's logger. Stand-in build: appends one UTF-8 line per call to
// the file named by FERRYDOCK_LOG_FILE (default %TEMP%\Ferrydock\FerrydockUITrans.log).
#pragma once

#include <sstream>

#ifdef JOTTER_EXPORTS
#define JOTTER_API __declspec(dllexport)
#else
#define JOTTER_API __declspec(dllimport)
#endif

enum LOG_MESSAGE_LEVEL {
    LOG_LEVEL_TRACE = 0,
    LOG_LEVEL_DEBUG = 1,
    LOG_LEVEL_VERBOSE = 2,
    LOG_LEVEL_INFO = 3,
    LOG_LEVEL_ERROR = 4,
    LOG_LEVEL_FATAL = 5,
};

class JOTTER_API KdLogger {
public:
    static KdLogger* GetInstance();
    void Log(LOG_MESSAGE_LEVEL level, std::wostringstream& line);

private:
    KdLogger() = default;
};

// Test hook of the stand-in: every line is also handed to the sink, on the caller's
// thread, before it is written to the file. A null sink removes it.
extern "C" {
typedef void(__stdcall* KdLoggerSink)(int level, const wchar_t* line, void* context);
JOTTER_API void __stdcall KdLoggerSetSink(KdLoggerSink sink, void* context);
}
