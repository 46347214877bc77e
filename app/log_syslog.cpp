#include "app/log_syslog.h"

#include <syslog.h>

wxLogSyslog::wxLogSyslog(const char* ident) : ident(ident ? ident : "") {
    openlog(this->ident.c_str(), LOG_PID | LOG_CONS, LOG_DAEMON);
}

wxLogSyslog::~wxLogSyslog() { closelog(); }

int wxLogSyslog::priorityOf(wxLogLevel level) {
    switch (level) {
        case wxLOG_FatalError: return LOG_CRIT;
        case wxLOG_Error: return LOG_ERR;
        case wxLOG_Warning: return LOG_WARNING;
        case wxLOG_Message: return LOG_INFO;
        case wxLOG_Status: return LOG_NOTICE;
        case wxLOG_Info: return LOG_INFO;
        case wxLOG_Debug: return LOG_DEBUG;
        case wxLOG_Trace: return LOG_DEBUG;
        default: return LOG_INFO;
    }
}

void wxLogSyslog::DoLogRecord(wxLogLevel level, const wxString& message,
                              const wxLogRecordInfo&) {
    // The text is data, never a format: a '%' in a file name must arrive as is.
    syslog(priorityOf(level), "%s", static_cast<const char*>(message.utf8_str()));
}

void wxLogSyslog::DoLogText(const wxString& message) {
    DoLogRecord(wxLOG_Message, message, wxLogRecordInfo());
}
