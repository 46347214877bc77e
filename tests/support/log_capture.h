// Collects the toolkit's log records while it lives: installed as the active
// target, it receives the main thread's records and those the Core's own
// threads forward. Safe to use from several threads.
#pragma once

#include <wx/log.h>

#include <mutex>
#include <string>
#include <vector>

struct CapturedRecord {
    wxLogLevel level;
    std::string text;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();

    std::vector<CapturedRecord> records();
    // Whether some record at `level` contains `text`.
    bool contains(wxLogLevel level, const std::string& text);
    std::size_t countContaining(const std::string& text);

private:
    class Target;
    Target* target;
    wxLog* previous;
};
