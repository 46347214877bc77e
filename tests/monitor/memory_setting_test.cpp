// The memory setting in "core.xml": how the file is read, the normal form it
// is rewritten in, and the settings document every plugin is sent. Each case
// runs loadMemorySetting() in a working directory of its own, on a Core that
// is not started, so the document waits in the event queue; one case starts
// a Core and looks at what its plugins received.

#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "app/core.h"
#include "core_notices.h"
#include "counting_allocator.h"
#include "messages.h"
#include "monitor/settings_text.h"
#include "plugin_folder.h"
#include "probe_registry.h"
#include "temp_dir.h"

namespace {

struct Outcome {
    bool enabled = false;
    std::vector<Notice> notices;
};

class MemorySetting : public testing::Test {
protected:
    Outcome settle() {
        Outcome outcome;
        outcome.enabled = core.loadMemorySetting();
        outcome.notices = takeNotices(core);
        return outcome;
    }

    std::string settingsPath() const { return directory / "core.xml"; }

    // The one settings document, sent to every other plugin from the core.
    static void expectSettingsNotice(const Outcome& outcome, int throttling) {
        ASSERT_EQ(outcome.notices.size(), 1u);
        const Notice& notice = outcome.notices.front();
        EXPECT_EQ(notice.source, CORE_ID);
        EXPECT_EQ(notice.flags, MSG_TO_OTHERS);
        EXPECT_EQ(notice.type, MSG_TYPE_XML);
        EXPECT_EQ(notice.handle, 0u);
        EXPECT_EQ(notice.payload, settingsNoticeText(throttling));
    }

    TempDir directory;
    WorkingDirectory cwd{directory.path()};
    CountingAllocator allocator;
    Core core{wxFileName(directory / "tessard"), allocator};
};

TEST_F(MemorySetting, AbsentFileIsCreatedWithThrottlingEnabled) {
    const Outcome outcome = settle();
    EXPECT_TRUE(outcome.enabled);
    EXPECT_EQ(readFile(settingsPath()), settingsFileText(1));
    expectSettingsNotice(outcome, 1);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

struct FileCase {
    const char* name;
    const char* content;
    bool enabled;
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

class MemorySettingFile : public MemorySetting, public testing::WithParamInterface<FileCase> {};

// Whatever the file held, it is replaced by the normal form of the setting,
// and the same setting reaches the plugins.
TEST_P(MemorySettingFile, IsReadThenRewrittenInNormalForm) {
    writeFile(settingsPath(), GetParam().content);
    const Outcome outcome = settle();
    const int expected = GetParam().enabled ? 1 : 0;
    EXPECT_EQ(outcome.enabled, GetParam().enabled);
    EXPECT_EQ(readFile(settingsPath()), settingsFileText(expected));
    expectSettingsNotice(outcome, expected);
}

const FileCase kFileCases[] = {
    {"Zero", "<Zelt Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" /></Zelt>", false},
    {"One", "<Zelt><Memory Throttling=\"1\" /></Zelt>", true},
    {"Seven", "<Zelt><Memory Throttling=\"7\" /></Zelt>", true},
    {"MinusOne", "<Zelt><Memory Throttling=\"-1\" /></Zelt>", true},
    {"NumberThenLetters", "<Zelt><Memory Throttling=\"12abc\" /></Zelt>", true},
    {"ZeroThenLetters", "<Zelt><Memory Throttling=\"0abc\" /></Zelt>", false},
    {"LeadingSpaceAndSign", "<Zelt><Memory Throttling=\" +0\" /></Zelt>", false},
    {"Letters", "<Zelt><Memory Throttling=\"abc\" /></Zelt>", true},
    {"EmptyValue", "<Zelt><Memory Throttling=\"\" /></Zelt>", true},
    {"NoAttribute", "<Zelt><Memory /></Zelt>", true},
    {"RootOfAnotherName", "<Settings><Memory Throttling=\"0\" /></Settings>", false},
    {"MemoryNestedDeeper", "<Zelt><Group><Memory Throttling=\"0\" /></Group></Zelt>", true},
    {"MemoryAfterOtherChildren", "<Zelt><Other /><Memory Throttling=\"0\" /></Zelt>", false},
    {"FirstMemoryCounts",
     "<Zelt><Memory Throttling=\"0\" /><Memory Throttling=\"1\" /></Zelt>", false},
    {"WithDeclarationAndComment",
     "<?xml version=\"1.0\"?>\n<!-- kept by hand -->\n<Zelt><Memory Throttling=\"0\"/></Zelt>\n",
     false},
    {"ExtraElementsAndAttributes",
     "<Zelt Delta=\"5\" Site=\"north\"><Memory ID=\"12\" Throttling=\"0\" Limit=\"9\">"
     "<Note>kept?</Note></Memory><Cameras Count=\"4\" /></Zelt>",
     false},
    {"EmptyFile", "", true},
    {"NotXml", "this is not xml", true},
    {"DeclarationOnly", "<?xml version=\"1.0\"?>", true},
    // The parser leaves a partial tree behind after this error; it must not
    // be read.
    {"Truncated", "<Zelt Delta=\"0\"><Memory Throttling=\"0\" ", true},
    {"UnclosedElement", "<Zelt><Memory Throttling=\"0\" /></Other>", true},
};

INSTANTIATE_TEST_SUITE_P(Contents, MemorySettingFile, testing::ValuesIn(kFileCases),
                         [](const testing::TestParamInfo<FileCase>& info) {
                             return std::string(info.param.name);
                         });

// A directory cannot be parsed (the XML library would abort) nor replaced:
// throttling is enabled and the plugins are told so all the same.
TEST_F(MemorySetting, DirectoryInItsPlaceCountsAsMissing) {
    std::filesystem::create_directory(settingsPath());
    writeFile(settingsPath() + "/inside", "<Zelt><Memory Throttling=\"0\" /></Zelt>");
    const Outcome outcome = settle();
    EXPECT_TRUE(outcome.enabled);
    EXPECT_TRUE(std::filesystem::is_directory(settingsPath()));
    expectSettingsNotice(outcome, 1);
}

// A link in the file's place is neither read nor written through, dangling
// or not: root would otherwise overwrite whatever file the link names. The
// rewrite replaces the link itself. A device reads as endless nothing and is
// replaced the same way.
TEST_F(MemorySetting, LinkOrDeviceInItsPlaceIsReplacedNotFollowed) {
    writeFile(directory / "victim", "<Zelt><Memory Throttling=\"0\" /></Zelt>");
    std::filesystem::create_symlink("victim", settingsPath());
    Outcome outcome = settle();
    EXPECT_TRUE(outcome.enabled);
    expectSettingsNotice(outcome, 1);
    EXPECT_FALSE(std::filesystem::is_symlink(settingsPath()));
    EXPECT_EQ(readFile(settingsPath()), settingsFileText(1));
    EXPECT_EQ(readFile(directory / "victim"), "<Zelt><Memory Throttling=\"0\" /></Zelt>");

    std::filesystem::remove(settingsPath());
    std::filesystem::create_symlink("elsewhere.xml", settingsPath());
    outcome = settle();
    EXPECT_TRUE(outcome.enabled);
    EXPECT_FALSE(std::filesystem::exists(directory / "elsewhere.xml"));
    EXPECT_EQ(readFile(settingsPath()), settingsFileText(1));

    std::filesystem::remove(settingsPath());
    ASSERT_EQ(mknod(settingsPath().c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    outcome = settle();
    EXPECT_TRUE(outcome.enabled);
    expectSettingsNotice(outcome, 1);
    EXPECT_EQ(readFile(settingsPath()), settingsFileText(1));
}

// A file no settings document can be (far too large, or nested tens of
// thousands of levels deep, which would overflow the scheduler thread's
// stack inside the XML parser) counts as unusable and is replaced.
TEST_F(MemorySetting, OversizedOrDeepFileIsReplacedUnread) {
    // Well formed and under the size limit: only the depth refuses it.
    std::string deep;
    for (int level = 0; level < 5000; ++level) deep.insert(0, "<a>").append("</a>");
    writeFile(settingsPath(), "<Zelt><Memory Throttling=\"0\" />" + deep + "</Zelt>");
    Outcome outcome = settle();
    EXPECT_TRUE(outcome.enabled);
    EXPECT_EQ(readFile(settingsPath()), settingsFileText(1));

    writeFile(settingsPath(), "<Zelt><Memory Throttling=\"0\" /><!--" +
                                  std::string(kMaxSettingsBytes, 'x') + "--></Zelt>");
    outcome = settle();
    EXPECT_TRUE(outcome.enabled);
    expectSettingsNotice(outcome, 1);
    EXPECT_EQ(readFile(settingsPath()), settingsFileText(1));
}

// What the depth check counts: comments, declarations, quoted '>' and
// character data do not open levels; empty elements do not stay open.
TEST(SettingsNesting, CountsOnlyElementsThatStayOpen) {
    EXPECT_TRUE(nestingWithin("<a><b/><b/><b></b></a>", 2));
    EXPECT_FALSE(nestingWithin("<a><b><c/></b></a>", 2));
    EXPECT_TRUE(nestingWithin("<?xml ?><!-- <x><y><z> --><a v=\"<q>\"><![CDATA[<p><q>]]></a>", 1));
    EXPECT_FALSE(nestingWithin("<a><a><a>", 2));
}

// Makes the calling thread check file permissions as an unprivileged user
// while it lives. The file-system identity is per thread, so the rest of
// the test process keeps its own; without privileges it changes nothing,
// and the mode bits apply anyway.
class UnprivilegedFileAccess {
public:
    UnprivilegedFileAccess() : previous(setfsuid(kNobody)) {}
    ~UnprivilegedFileAccess() { setfsuid(previous); }

private:
    static constexpr uid_t kNobody = 65534;
    const int previous;
};

bool canOpen(const std::string& path, int mode) {
    const int descriptor = open(path.c_str(), mode);
    if (descriptor >= 0) close(descriptor);
    return descriptor >= 0;
}

// A file that can be read but not written keeps its old text; the setting
// it holds still applies and is still sent.
TEST_F(MemorySetting, ReadOnlyFileStillApplies) {
    const std::string original = "<Zelt><Memory Throttling=\"0\" Extra=\"stays\" /></Zelt>";
    writeFile(settingsPath(), original);
    ASSERT_EQ(chmod(settingsPath().c_str(), 0444), 0);
    ASSERT_EQ(chmod(directory.path().c_str(), 0755), 0);
    Outcome outcome;
    {
        UnprivilegedFileAccess unprivileged;
        ASSERT_TRUE(canOpen(settingsPath(), O_RDONLY)) << "the test cannot read its own file";
        ASSERT_FALSE(canOpen(settingsPath(), O_WRONLY)) << "the file is writable after all";
        outcome = settle();
    }
    EXPECT_FALSE(outcome.enabled);
    EXPECT_EQ(readFile(settingsPath()), original);
    expectSettingsNotice(outcome, 0);
}

// A FIFO has no writer to parse and, without a reader, would block anyone
// who opens it for writing; the scheduler must not hang there.
TEST_F(MemorySetting, FifoDoesNotBlockTheRewrite) {
    ASSERT_EQ(mkfifo(settingsPath().c_str(), 0644), 0);
    auto settling = std::async(std::launch::async, [this] { return settle(); });
    if (settling.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Unblock the rewrite so that the test can end, then fail.
        const int reader = open(settingsPath().c_str(), O_RDONLY | O_NONBLOCK);
        settling.wait();
        if (reader >= 0) close(reader);
        FAIL() << "loadMemorySetting blocked on a FIFO named core.xml";
    }
    const Outcome outcome = settling.get();
    EXPECT_TRUE(outcome.enabled);
    expectSettingsNotice(outcome, 1);
}

// Started for real, the Core sends the settings document to every plugin
// through IOCTL code 2, whatever their masks.
TEST(MemorySettingDelivery, EveryPluginReceivesTheDocumentByIoctl) {
    PluginFolder folder;
    WorkingDirectory cwd(folder.root());
    writeFile(folder / "core.xml", "<Zelt><Memory Throttling=\"0\" /></Zelt>");
    ProbeControl& first = probeNamed("mon_first.so");
    first.behaviour.info = pluginInfo(0x4D01);
    ProbeControl& second = probeNamed("mon_second.so");
    second.behaviour.info = pluginInfo(0x4D02);
    second.behaviour.info.writeEvents = 1;
    folder.install("probe", "mon_first.so");
    folder.install("probe", "mon_second.so");
    CountingAllocator allocator;
    Core core(folder.exePath(), allocator);
    core.start();
    // The status document of the plugin table comes first, then the setting.
    ASSERT_TRUE(first.waitFor(ProbeEntry::Ioctl, 2));
    ASSERT_TRUE(second.waitFor(ProbeEntry::Ioctl, 2));
    core.stop();
    for (ProbeControl* probe : {&first, &second}) {
        std::size_t settings = 0;
        for (const ProbeCall& call : probe->callsOf(ProbeEntry::Ioctl)) {
            if (call.payload.find("<Memory") == std::string::npos) continue;
            ++settings;
            EXPECT_EQ(call.ioctl.code, static_cast<std::uint32_t>(IOCTL_TO_OTHERS));
            EXPECT_EQ(call.payload, settingsNoticeText(0));
            EXPECT_EQ(call.ioctl.payloadRef.length, settingsNoticeText(0).size());
        }
        EXPECT_EQ(settings, 1u);
        EXPECT_EQ(probe->count(ProbeEntry::Write), 0u);
    }
    EXPECT_EQ(readFile(folder / "core.xml"), settingsFileText(0));
    EXPECT_EQ(allocator.liveBlocks(), 0);
    forgetProbes();
}

}  // namespace
