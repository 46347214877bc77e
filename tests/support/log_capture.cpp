#include "log_capture.h"

class LogCapture::Target : public wxLog {
public:
    std::mutex lock;
    std::vector<CapturedRecord> records;  // guarded by lock

protected:
    void DoLogRecord(wxLogLevel level, const wxString& message, const wxLogRecordInfo&) override {
        std::lock_guard<std::mutex> hold(lock);
        records.push_back({level, message.utf8_string()});
    }
};

LogCapture::LogCapture() : target(new Target), previous(wxLog::SetActiveTarget(target)) {}

LogCapture::~LogCapture() {
    wxLog::SetActiveTarget(previous);
    delete target;
}

std::vector<CapturedRecord> LogCapture::records() {
    std::lock_guard<std::mutex> hold(target->lock);
    return target->records;
}

bool LogCapture::contains(wxLogLevel level, const std::string& text) {
    for (const CapturedRecord& record : records()) {
        if (record.level == level && record.text.find(text) != std::string::npos) return true;
    }
    return false;
}

std::size_t LogCapture::countContaining(const std::string& text) {
    std::size_t count = 0;
    for (const CapturedRecord& record : records()) {
        count += record.text.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}
