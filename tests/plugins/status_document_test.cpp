// The status document "plugins.xml", written by a real Core start with real
// plugin libraries, compared byte for byte with the text TinyXML's SaveFile
// writes: a bare declaration, four spaces of indentation per level, "\n"
// after every line, and an attribute value that holds a double quote put in
// single quotes. The same document reaches the plugins as a notice printed
// on one line.
//
// Load and open times are real measurements, so the expected text takes
// those two values from the Core's table.

#include "plugins/status_document.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "app/core.h"
#include "counting_allocator.h"
#include "library_state.h"
#include "log_capture.h"
#include "messages.h"
#include "plugin_folder.h"
#include "probe_registry.h"
#include "table_view.h"

namespace {

using Names = std::vector<std::string>;

// How long a test waits for what must happen; generous, because the
// machine may be busy, and only a failing test waits that long.
constexpr std::chrono::seconds kPatience{60};

const std::string kHead =
    "<?xml ?>\n"
    "<Zelt Delta=\"0\">\n"
    "    <Modules>\n"
    "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"8.6.2.115651\">\n";
const std::string kCoreModuleEnd = "        </Module>\n";
const std::string kTail =
    "    </Modules>\n"
    "</Zelt>\n";

std::string quoted(const std::string& value) { return "\"" + value + "\""; }

// The core's own Plugin element; `filename` is the attribute value as
// written, delimiters included.
std::string corePlugin(const std::string& filename) {
    return "            <Plugin ID=\"-2147483648\" Filename=" + filename +
           " Opened=\"1\" OpenCode=\"0\" />\n";
}

std::string failedPlugin(int number, const std::string& filename) {
    return "            <Plugin ID=\"" + std::to_string(number) + "\" Filename=" + filename +
           " Opened=\"1\" OpenCode=\"79\" />\n";
}

std::string failedModule(int number, const std::string& name) {
    return "        <Module ID=\"" + std::to_string(number) + "\" Name=" + name +
           " Version=\"not loaded\" />\n";
}

// The Plugin element of an accepted plugin, with the times `core`'s table
// measured for it; `filename` is the attribute value as written.
std::string acceptedPlugin(const Core& core, const std::string& id, const std::string& fileName,
                           const std::string& filename, int openCode = 0) {
    const std::optional<PluginRecord> entry = tableEntry(core, fileName);
    if (!entry) {
        ADD_FAILURE() << fileName << " is not in the table";
        return std::string();
    }
    return "            <Plugin ID=\"" + id + "\" Filename=" + filename +
           " Opened=\"1\" OpenCode=\"" + std::to_string(openCode) + "\" LoadTime=\"" +
           std::to_string(static_cast<std::int32_t>(entry->loadTime)) + "\" OpenTime=\"" +
           std::to_string(static_cast<std::int32_t>(entry->openTime)) + "\" />\n";
}

// The file printed the way the notice carries it: no indentation, no line
// breaks.
std::string compact(const std::string& indented) {
    std::istringstream lines(indented);
    std::string line;
    std::string joined;
    while (std::getline(lines, line)) joined += line.substr(line.find_first_not_of(' '));
    return joined;
}

bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class StatusDocument : public testing::Test {
protected:
    void TearDown() override {
        core.stop();
        forgetProbes();
    }

    ProbeControl& probe(const std::string& fileName, std::uint64_t id) {
        ProbeControl& control = probeNamed(fileName);
        control.behaviour.info = pluginInfo(id);
        folder.install("probe", fileName);
        return control;
    }

    std::string savedDocument() const { return readFile(folder / "plugins.xml"); }

    Names listed(const Names& fileNames) const {
        return inListingOrder(folder.pluginsDir(), fileNames);
    }

    PluginFolder folder;
    WorkingDirectory cwd{folder.root()};
    CountingAllocator allocator;
    // Keeps the loader's expected complaints out of the test output.
    LogCapture log;
    Core core{folder.exePath(), allocator};
};

TEST_F(StatusDocument, WithoutPluginsDirectoryListsTheCoreAlone) {
    TempDir bare;
    WorkingDirectory inBare(bare.path());
    Core alone(wxFileName(bare / "tessard"), allocator);
    EXPECT_TRUE(alone.start());
    const std::string saved = readFile(bare / "plugins.xml");
    alone.stop();
    EXPECT_EQ(saved,
              "<?xml ?>\n"
              "<Zelt Delta=\"0\">\n"
              "    <Modules>\n"
              "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"8.6.2.115651\">\n"
              "            <Plugin ID=\"-2147483648\" Filename=\"tessard\" Opened=\"1\" "
              "OpenCode=\"0\" />\n"
              "        </Module>\n"
              "    </Modules>\n"
              "</Zelt>\n");
}

// The plugin with id 0x60000 heads the table and so the list; an Open that
// failed is shown by its code alone.
TEST_F(StatusDocument, AcceptedPluginsAreListedInTableOrder) {
    probe("stubborn.so", 0x71).behaviour.openResult = 13;
    probe("camera.so", 0x60000);
    probe("plain.so", 0x72);
    core.start();
    const Names rest = listed({"stubborn.so", "plain.so"});
    const std::map<std::string, std::string> lines{
        {"camera.so", acceptedPlugin(core, "393216", "camera.so", quoted("camera.so"))},
        {"stubborn.so", acceptedPlugin(core, "113", "stubborn.so", quoted("stubborn.so"), 13)},
        {"plain.so", acceptedPlugin(core, "114", "plain.so", quoted("plain.so"))}};
    EXPECT_EQ(savedDocument(), kHead + corePlugin(quoted("tessard")) + lines.at("camera.so") +
                                   lines.at(rest[0]) + lines.at(rest[1]) + kCoreModuleEnd + kTail);
}

// Libraries that could not be opened are numbered from 1, whatever the ids
// of the accepted plugins: here an accepted plugin has id 1 as well.
TEST_F(StatusDocument, FailedLibrariesFollowTheAcceptedPlugins) {
    folder.writePlugin("broken.so", "not a shared object");
    folder.install("needs_absent_library", "needs_absent_library.so");
    probe("ok.so", 1);
    core.start();
    const Names failed = listed({"broken.so", "needs_absent_library.so"});
    EXPECT_EQ(savedDocument(), kHead + corePlugin(quoted("tessard")) +
                                   acceptedPlugin(core, "1", "ok.so", quoted("ok.so")) +
                                   failedPlugin(1, quoted(failed[0])) +
                                   failedPlugin(2, quoted(failed[1])) + kCoreModuleEnd +
                                   failedModule(1, quoted(failed[0])) +
                                   failedModule(2, quoted(failed[1])) + kTail);
}

TEST_F(StatusDocument, RejectedLibrariesAreNotListed) {
    probe("refused.so", 0x81).behaviour.loadResult = 1;
    probe("twin_a.so", 0x33);
    probe("twin_b.so", 0x33);
    folder.install("no_load", "no_load.so");
    core.start();
    const std::string first = listed({"twin_a.so", "twin_b.so"}).front();
    EXPECT_EQ(savedDocument(), kHead + corePlugin(quoted("tessard")) +
                                   acceptedPlugin(core, "51", first, quoted(first)) +
                                   kCoreModuleEnd + kTail);
}

// Ids are written as their low 32 bits taken as signed, so two plugins whose
// ids differ only above bit 31 show the same ID.
TEST_F(StatusDocument, IdsAreWrittenAsTheirLow32BitsSigned) {
    probe("negative.so", 0x180000001);
    probe("wide_a.so", 0x100000005);
    probe("wide_b.so", 0x200000005);
    core.start();
    const std::map<std::string, std::string> ids{
        {"negative.so", "-2147483647"}, {"wide_a.so", "5"}, {"wide_b.so", "5"}};
    std::string plugins;
    for (const std::string& name : listed({"negative.so", "wide_a.so", "wide_b.so"})) {
        plugins += acceptedPlugin(core, ids.at(name), name, quoted(name));
    }
    EXPECT_EQ(savedDocument(),
              kHead + corePlugin(quoted("tessard")) + plugins + kCoreModuleEnd + kTail);
}

TEST_F(StatusDocument, FileNamesAreEscaped) {
    Core escaped(wxFileName(folder / "tess<&>ard"), allocator);
    probe("say \"hi\".so", 0x91);
    folder.writePlugin("it's.so", "not a shared object");
    escaped.start();
    const std::string plugin =
        acceptedPlugin(escaped, "145", "say \"hi\".so", "'say &quot;hi&quot;.so'");
    escaped.stop();
    EXPECT_EQ(savedDocument(), kHead + corePlugin(quoted("tess&lt;&amp;&gt;ard")) + plugin +
                                   failedPlugin(1, quoted("it&apos;s.so")) + kCoreModuleEnd +
                                   failedModule(1, quoted("it&apos;s.so")) + kTail);
}

// The notice is the saved document printed on one line, without a
// terminating zero, delivered to every plugin through IOCTL code 2.
TEST_F(StatusDocument, NoticeCarriesTheSavedDocumentOnOneLine) {
    ProbeControl& listener = probe("listener.so", 0xA1);
    probe("say \"hi\".so", 0xA2);
    folder.writePlugin("broken.so", "not a shared object");
    core.start();
    auto isStatusNotice = [](const ProbeCall& call) {
        return call.payload.find("<Modules>") != std::string::npos;
    };
    ProbeCall notice{};
    ASSERT_TRUE(waitUntil([&] {
        for (const ProbeCall& call : listener.callsOf(ProbeEntry::Ioctl)) {
            if (!isStatusNotice(call)) continue;
            notice = call;
            return true;
        }
        return false;
    }));
    core.stop();
    const std::string saved = savedDocument();
    EXPECT_EQ(notice.ioctl.code, static_cast<std::uint32_t>(IOCTL_TO_OTHERS));
    EXPECT_EQ(notice.payload, compact(saved));
    EXPECT_EQ(notice.ioctl.payloadRef.length, notice.payload.size());
    EXPECT_EQ(notice.payload.find('\n'), std::string::npos);
    EXPECT_EQ(notice.payload.rfind("<?xml ?><Zelt Delta=\"0\"><Modules>", 0), 0u) << notice.payload;
    EXPECT_NE(saved.find("'say &quot;hi&quot;.so'"), std::string::npos) << saved;
}

// Running as root, only a directory in its place keeps "plugins.xml" from
// being written. The start goes on: the plugins are opened and still
// receive the document, and the operator is told once.
TEST_F(StatusDocument, UnwritableFileIsReportedAndTheNoticeStillSent) {
    std::filesystem::create_directory(folder / "plugins.xml");
    ProbeControl& listener = probe("listener.so", 0xA1);
    core.start();
    EXPECT_TRUE(waitUntil([&] {
        for (const ProbeCall& call : listener.callsOf(ProbeEntry::Ioctl)) {
            if (call.payload.find("Filename=\"listener.so\"") != std::string::npos) return true;
        }
        return false;
    }));
    EXPECT_EQ(listener.callsOf(ProbeEntry::Open).size(), 1u);
    EXPECT_EQ(log.countContaining("Could not write plugins.xml"), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(folder / "plugins.xml"));
}

}  // namespace
