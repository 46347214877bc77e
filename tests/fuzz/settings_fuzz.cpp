// Fuzz target: the settings file reader. The fuzzer's bytes are "core.xml"
// in a working directory of the target's own; a Core that is not started
// reads it with loadMemorySetting(). Whatever the bytes, the reader must
// settle on a setting without crashing or leaking, rewrite the file in its
// normal form for that setting, and queue exactly that document for the
// plugins; a file that never names the attribute cannot switch throttling
// off.

#include <string>

#include "app/core.h"
#include "core_notices.h"
#include "counting_allocator.h"
#include "fuzz_support.h"
#include "temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::setUpProcess();
    const std::string& directory = fuzz::scratchDirectory();
    const std::string content(reinterpret_cast<const char*>(data), size);
    writeFile(directory + "/core.xml", content);
    WorkingDirectory cwd(directory);
    CountingAllocator allocator;
    bool enabled = false;
    std::vector<Notice> notices;
    {
        Core core(wxFileName(directory + "/tessard"), allocator);
        enabled = core.loadMemorySetting();
        notices = takeNotices(core);
    }
    const int throttling = enabled ? 1 : 0;
    fuzz::check(enabled || content.find("Throttling") != std::string::npos,
                "throttling was switched off by a file that does not name it");
    fuzz::check(readFile(directory + "/core.xml") == settingsFileText(throttling),
                "core.xml was not rewritten in its normal form");
    fuzz::check(notices.size() == 1, "not exactly one settings notice was queued");
    const Notice& notice = notices.front();
    fuzz::check(notice.source == CORE_ID && notice.flags == MSG_TO_OTHERS &&
                    notice.type == MSG_TYPE_XML && notice.handle == 0,
                "the settings notice is not addressed as the core's document to the others");
    fuzz::check(notice.payload == settingsNoticeText(throttling),
                "the settings notice differs from the setting applied");
    fuzz::check(allocator.liveBlocks() == 0, "a payload copy was leaked");
    return 0;
}
