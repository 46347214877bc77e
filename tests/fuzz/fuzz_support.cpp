#include "fuzz_support.h"

#include <wx/init.h>
#include <wx/log.h>

#include <cstdio>
#include <cstdlib>

#include "temp_dir.h"

namespace fuzz {

namespace {

class DroppingLog : public wxLog {
protected:
    void DoLogRecord(wxLogLevel, const wxString&, const wxLogRecordInfo&) override {}
};

}  // namespace

void setUpProcess() {
    static const bool done = [] {
        static wxInitializer toolkit;
        if (!toolkit.IsOk()) fail("the toolkit did not initialise");
        delete wxLog::SetActiveTarget(new DroppingLog);
        return true;
    }();
    (void)done;
}

void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

const std::string& scratchDirectory() {
    static const TempDir directory;
    return directory.path();
}

}  // namespace fuzz
