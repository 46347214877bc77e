// The command line: which parts a run has, and which run is published.

#include <gtest/gtest.h>

#include "harness/options.h"

namespace bench {
namespace {

std::optional<Options> parse(std::vector<std::string> words, std::string& error) {
    words.insert(words.begin(), "tessard_bench");
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    return parseOptions(static_cast<int>(argv.size()), argv.data(), error);
}

// Catches a quick or comparing run that also runs (or publishes) the whole
// survey, a full run without its ratio rounds, a narrowed survey that is
// published, and the old name of the unbounded ZeroMQ set-up refused.
TEST(OptionsTest, EachKindOfRunHasItsPartsAndOnlyTheFullOneIsPublished) {
    std::string error;
    const std::optional<Options> full = parse({}, error);
    ASSERT_TRUE(full) << error;
    EXPECT_EQ(full->rounds, 5);
    EXPECT_GE(full->ratioRounds, 12);
    EXPECT_TRUE(full->full());

    const std::optional<Options> quick = parse({"--quick"}, error);
    ASSERT_TRUE(quick) << error;
    EXPECT_EQ(quick->rounds, 0);
    EXPECT_GT(quick->ratioRounds, 0);
    EXPECT_FALSE(quick->full());

    const std::optional<Options> compare = parse({"--compare-build", "/elsewhere"}, error);
    ASSERT_TRUE(compare) << error;
    EXPECT_EQ(compare->rounds, 0);
    EXPECT_GE(compare->ratioRounds, 12);
    EXPECT_FALSE(compare->full());

    const std::optional<Options> narrow =
        parse({"--workloads", "W1", "--contenders", "tessard,zmq-poll"}, error);
    ASSERT_TRUE(narrow) << error;
    EXPECT_EQ(narrow->ratioRounds, 0);
    EXPECT_EQ(narrow->contenders, (std::vector<std::string>{"tessard", "zmq-unbounded"}));
    EXPECT_FALSE(narrow->full());

    EXPECT_FALSE(parse({"--rounds", "0", "--ratio-rounds", "0"}, error));
    EXPECT_FALSE(parse({"--contenders", "zmq-fastest"}, error));
}

}  // namespace
}  // namespace bench
