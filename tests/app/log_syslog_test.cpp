// wxLogSyslog, the daemon's log target, against a system logger of the test's
// own: this file defines openlog, syslog, vsyslog, closelog and their
// fortified forms, which the linker prefers to the C library's for every
// call made from this executable, so the calls are recorded instead of sent.

// The fortified headers would define syslog themselves.
#undef _FORTIFY_SOURCE

#include "app/log_syslog.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct SyslogCall {
    enum Kind { Open, Log, Close };
    explicit SyslogCall(Kind kind) : kind(kind) {}

    Kind kind;
    const char* identPointer = nullptr;
    int option = 0;
    int facility = 0;
    int priority = 0;
    std::string format;
    std::string text;
};

std::mutex callsLock;
std::vector<SyslogCall> recordedCalls;  // guarded by callsLock

void recordCall(SyslogCall call) {
    std::lock_guard<std::mutex> hold(callsLock);
    recordedCalls.push_back(std::move(call));
}

// The text a call to syslog() would produce. A format other than "%s" is
// kept as it is rather than expanded: if the target ever handed its text
// over as a format, expanding it could read arguments that are not there.
void recordLog(int priority, const char* format, va_list arguments) {
    SyslogCall call(SyslogCall::Log);
    call.priority = priority;
    call.format = format;
    call.text = std::strcmp(format, "%s") == 0 ? va_arg(arguments, const char*) : format;
    recordCall(std::move(call));
}

}  // namespace

extern "C" {

void openlog(const char* ident, int option, int facility) {
    SyslogCall call(SyslogCall::Open);
    call.identPointer = ident;
    call.option = option;
    call.facility = facility;
    recordCall(std::move(call));
}

void closelog() { recordCall(SyslogCall(SyslogCall::Close)); }

void vsyslog(int priority, const char* format, va_list arguments) {
    recordLog(priority, format, arguments);
}

void __vsyslog_chk(int priority, int, const char* format, va_list arguments) {
    recordLog(priority, format, arguments);
}

void syslog(int priority, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    recordLog(priority, format, arguments);
    va_end(arguments);
}

void __syslog_chk(int priority, int, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    recordLog(priority, format, arguments);
    va_end(arguments);
}

}  // extern "C"

namespace {

class LogSyslog : public testing::Test {
protected:
    void SetUp() override { calls(); }

    // The calls made since the last look, which are then forgotten.
    static std::vector<SyslogCall> calls() {
        std::lock_guard<std::mutex> hold(callsLock);
        std::vector<SyslogCall> taken;
        taken.swap(recordedCalls);
        return taken;
    }

    // The one call made since the last look, which must be a record.
    static SyslogCall onlyRecord() {
        const std::vector<SyslogCall> made = calls();
        EXPECT_EQ(made.size(), 1u);
        if (made.size() != 1 || made[0].kind != SyslogCall::Log) {
            ADD_FAILURE() << "expected one record";
            return SyslogCall(SyslogCall::Close);
        }
        return made[0];
    }
};

// Makes the target the toolkit's active one for the scope.
class ActiveTarget {
public:
    explicit ActiveTarget(wxLog& target) : previous(wxLog::SetActiveTarget(&target)) {}
    ~ActiveTarget() { wxLog::SetActiveTarget(previous); }

private:
    wxLog* previous;
};

TEST_F(LogSyslog, OpensTheLogWithItsOwnCopyOfTheIdentifier) {
    char ident[] = "tessard";
    wxLogSyslog target(ident);
    std::vector<SyslogCall> made = calls();
    ASSERT_EQ(made.size(), 1u);
    ASSERT_EQ(made[0].kind, SyslogCall::Open);
    EXPECT_EQ(made[0].option, LOG_PID | LOG_CONS);
    EXPECT_EQ(made[0].facility, LOG_DAEMON);
    // The system logger keeps the pointer: it must stay valid and unchanged
    // however the caller's text changes.
    EXPECT_NE(made[0].identPointer, ident);
    std::strcpy(ident, "changed");
    EXPECT_STREQ(made[0].identPointer, "tessard");
}

TEST_F(LogSyslog, NullIdentifierIsTheEmptyText) {
    wxLogSyslog target(nullptr);
    std::vector<SyslogCall> made = calls();
    ASSERT_EQ(made.size(), 1u);
    ASSERT_EQ(made[0].kind, SyslogCall::Open);
    EXPECT_STREQ(made[0].identPointer, "");
}

TEST_F(LogSyslog, ClosesTheLogWhenDestroyed) {
    {
        wxLogSyslog target("tessard");
        target.LogRecord(wxLOG_Message, "before the end", wxLogRecordInfo());
        std::vector<SyslogCall> made = calls();
        ASSERT_EQ(made.size(), 2u);
        EXPECT_EQ(made[1].kind, SyslogCall::Log);
    }
    std::vector<SyslogCall> made = calls();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].kind, SyslogCall::Close);
}

struct LevelCase {
    wxLogLevel level;
    int priority;
};

class LevelTable : public LogSyslog, public testing::WithParamInterface<LevelCase> {};

TEST_P(LevelTable, RecordIsLoggedAtItsPriority) {
    wxLogSyslog target("tessard");
    calls();
    target.LogRecord(GetParam().level, "a record", wxLogRecordInfo());
    const SyslogCall record = onlyRecord();
    EXPECT_EQ(record.priority, GetParam().priority);
    EXPECT_EQ(record.text, "a record");
}

// Message is information, not a notice; only Status is a notice. Every
// level past Trace, the toolkit's own and the users', is information.
INSTANTIATE_TEST_SUITE_P(
    EveryLevel, LevelTable,
    testing::Values(LevelCase{wxLOG_FatalError, LOG_CRIT}, LevelCase{wxLOG_Error, LOG_ERR},
                    LevelCase{wxLOG_Warning, LOG_WARNING}, LevelCase{wxLOG_Message, LOG_INFO},
                    LevelCase{wxLOG_Status, LOG_NOTICE}, LevelCase{wxLOG_Info, LOG_INFO},
                    LevelCase{wxLOG_Debug, LOG_DEBUG}, LevelCase{wxLOG_Trace, LOG_DEBUG},
                    LevelCase{wxLOG_Progress, LOG_INFO}, LevelCase{wxLOG_User, LOG_INFO},
                    LevelCase{wxLOG_Max, LOG_INFO}),
    [](const testing::TestParamInfo<LevelCase>& info) {
        return "Level" + std::to_string(info.param.level);
    });

// Through the toolkit's own log calls, as the server logs: the text arrives
// bare, with no time stamp and no "Error: " prefix.
TEST_F(LogSyslog, ToolkitCallsArriveAtTheirPriorities) {
    wxLogSyslog target("tessard");
    calls();
    ActiveTarget active(target);
    const struct {
        void (*log)();
        int priority;
        const char* text;
    } cases[] = {
        {[] { wxLogError("an error %d", 1); }, LOG_ERR, "an error 1"},
        {[] { wxLogWarning("a warning"); }, LOG_WARNING, "a warning"},
        {[] { wxLogMessage("a message"); }, LOG_INFO, "a message"},
        {[] { wxLogInfo("an info"); }, LOG_INFO, "an info"},
        {[] { wxLogDebug("a debug"); }, LOG_DEBUG, "a debug"},
        {[] { wxLogGeneric(wxLOG_Status, "a status"); }, LOG_NOTICE, "a status"},
        {[] { wxLogGeneric(wxLOG_User, "a user record"); }, LOG_INFO, "a user record"},
        {[] {
             errno = EACCES;
             wxLogSysError("Could not create PID file");
         },
         LOG_ERR, "Could not create PID file (error 13: Permission denied)"},
    };
    for (const auto& each : cases) {
        each.log();
        const SyslogCall record = onlyRecord();
        EXPECT_EQ(record.priority, each.priority) << each.text;
        EXPECT_EQ(record.text, each.text);
        EXPECT_EQ(record.format, "%s");
    }
}

TEST_F(LogSyslog, TextIsHandedOverAsData) {
    const std::string text = "50% done %s %n %d%%";
    wxLogSyslog target("tessard");
    calls();
    target.LogRecord(wxLOG_Error, text, wxLogRecordInfo());
    SyslogCall record = onlyRecord();
    EXPECT_EQ(record.format, "%s");
    EXPECT_EQ(record.text, text);

    ActiveTarget active(target);
    wxLogMessage("%s", text);
    record = onlyRecord();
    EXPECT_EQ(record.format, "%s");
    EXPECT_EQ(record.text, text);
}

TEST_F(LogSyslog, TextLeavesAsUtf8) {
    wxLogSyslog target("tessard");
    calls();
    target.LogRecord(wxLOG_Message, wxString::FromUTF8("Kamera S\xC3\xBC" "d"), wxLogRecordInfo());
    EXPECT_EQ(onlyRecord().text, "Kamera S\xC3\xBC" "d");
}

// A bare text, with no level of its own, is information.
TEST_F(LogSyslog, PlainTextIsAMessage) {
    wxLogSyslog target("tessard");
    calls();
    target.LogText("plain text 100%");
    const SyslogCall record = onlyRecord();
    EXPECT_EQ(record.priority, LOG_INFO);
    EXPECT_EQ(record.text, "plain text 100%");
}

}  // namespace
