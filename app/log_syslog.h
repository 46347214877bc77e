// wxLogSyslog: a log target that hands every record of the toolkit's logging
// to the system logger.
//
// The daemon installs it after forking, under the identifier "tessard", with
// the process ID, console fallback and the daemon facility. Records from any
// thread may arrive at once (see thread_log.h); syslog(3) is thread-safe, and
// the target keeps no state of its own beyond the identifier.
#pragma once

#include <wx/log.h>

#include <string>

class wxLogSyslog : public wxLog {
public:
    explicit wxLogSyslog(const char* ident);
    ~wxLogSyslog() override;

    // The syslog priority of a toolkit log level.
    static int priorityOf(wxLogLevel level);

protected:
    void DoLogRecord(wxLogLevel level, const wxString& message,
                     const wxLogRecordInfo& info) override;
    void DoLogText(const wxString& message) override;

private:
    // The system logger keeps the pointer handed to openlog(), so the text
    // lives exactly as long as this target.
    const std::string ident;
};
