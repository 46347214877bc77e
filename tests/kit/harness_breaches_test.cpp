// The harness catching a planted breach of each kind it checks: copies of
// one test plugin, each named for the breach it commits, hosted together
// with a copy that keeps the contract.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "kit_support.h"
#include "temp_dir.h"

namespace {

using namespace kit_test;

// What call_breaches.c takes, and a handle of the test's.
constexpr std::uint64_t kEvent = 0x2001;
constexpr std::uint64_t kRequest = 0x2002;
constexpr std::uint64_t kHandle = 0x7E57;
constexpr std::uint64_t kTestSender = 0x7E5700;

// Catches: a harness that misses one of the six breaches (a callback after
// Unload, a payload kept past Close, a thread that outlives Unload, an answer
// under a read handle sent off the Read worker, a read past a payload's end,
// a read of a freed payload), pins it on the wrong plugin, or blames the
// plugin that keeps the contract.
TEST(HarnessBreaches, CatchesOneOfEachKindAndNamesThePlugin) {
    const std::map<std::string, TessardHarnessBreachKind> planted = {
        {"late_caller.so", TESSARD_BREACH_CALLBACK_AFTER_UNLOAD},
        {"keeper.so", TESSARD_BREACH_RETAINED_AFTER_CLOSE},
        {"lingerer.so", TESSARD_BREACH_THREAD_AFTER_UNLOAD},
        {"stray_answerer.so", TESSARD_BREACH_HANDLE_OFF_READER},
        {"overreader.so", TESSARD_BREACH_READ_PAST_LENGTH},
        {"late_reader.so", TESSARD_BREACH_READ_AFTER_FREE}};
    TempDir copies;
    HarnessScope scope;
    TessardHarness* harness = scope.get();
    ASSERT_NE(harness, nullptr);
    const std::string library = std::string(TESSARD_TEST_PLUGIN_DIR) + "/call_breaches.so";
    for (const auto& [name, kind] : planted) {
        ASSERT_EQ(tessardHarnessAddPlugin(harness, copyAs(library, copies.path(), name).c_str()), 0);
    }
    ASSERT_EQ(tessardHarnessAddPlugin(
                  harness, copyAs(library, copies.path(), "keeps_the_contract.so").c_str()),
              0);
    ASSERT_EQ(tessardHarnessStart(harness), 7);

    // Two unterminated texts for every Write (the keeper keeps the first,
    // the late reader reads the second again in Close), then a read request
    // for every Read.
    static const char text[] = {'n', 'o', ' ', 'e', 'n', 'd'};
    CoreMessage event{};
    event.size = sizeof event;
    event.version = 1;
    event.length = sizeof text;
    event.payload = text;
    event.source = kTestSender;
    event.flags = MSG_SELECT_1;
    event.type = kEvent;
    EXPECT_EQ(tessardHarnessSend(harness, &event), STATUS_OK);
    EXPECT_EQ(tessardHarnessSend(harness, &event), STATUS_OK);
    EXPECT_EQ(tessardHarnessRead(harness, kHandle, MSG_SELECT_2, kRequest, nullptr, 0), STATUS_OK);
    ASSERT_TRUE(tessardHarnessRunUntilIdle(harness, kPatienceMs));
    tessardHarnessStop(harness);
    // The late caller calls a moment after its Unload has returned.
    ASSERT_TRUE(waitFor(harness, [&] { return tessardHarnessBreachCount(harness) >= 6; }))
        << testing::PrintToString(scope.breaches());

    std::map<TessardHarnessBreachKind, std::string> found;
    for (std::size_t at = 0; at < tessardHarnessBreachCount(harness); ++at) {
        found[tessardHarnessBreachKindAt(harness, at)] += tessardHarnessBreachText(harness, at);
    }
    for (const auto& [name, kind] : planted) {
        EXPECT_EQ(found[kind].rfind(name, 0), 0u) << "breach " << kind << ": " << found[kind];
    }
    EXPECT_EQ(tessardHarnessBreachCount(harness), planted.size())
        << testing::PrintToString(scope.breaches());
    // The core refused the stray answer: the reply is recorded with its code.
    ASSERT_EQ(tessardHarnessReplyCount(harness, kHandle), 1u);
    EXPECT_EQ(tessardHarnessReplyAt(harness, kHandle, 0)->status, STATUS_CANCELLED);
    EXPECT_EQ(tessardHarnessReplyAt(harness, kHandle, 0)->fromReader, 0);
}

}  // namespace
