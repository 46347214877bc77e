// The main of every test executable: the toolkit is initialised once for the
// process, as the server's own entry does, before any test runs.

#include <gtest/gtest.h>
#include <wx/init.h>
#include <wx/log.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    wxInitializer toolkit;
    if (!toolkit.IsOk()) return 2;
    wxLog::GetActiveTarget();
    return RUN_ALL_TESTS();
}
