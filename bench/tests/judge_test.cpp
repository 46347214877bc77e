// Judging runs from reports: a clean run's figures, and every way a run
// can fail coming out as a failure with its counts.

#include <gtest/gtest.h>

#include "harness/judge.h"

namespace bench {
namespace {

Workload twoByTwo(Figure figure = Figure::MessagesPerSecond) {
    Workload w;
    w.name = "T";
    w.producers = 2;
    w.messagesPerProducer = 500;
    w.payloadBytes = 1000;
    w.consumers = 2;
    w.figure = figure;
    return w;
}

// Reports of a clean run that took exactly half a second.
RunReports cleanReports(const Workload& w) {
    RunReports r;
    for (int p = 0; p < w.producers; ++p) {
        ProducerReport report{p, w.messagesPerProducer, 0, 1000000000 + p * 1000, 1200000000, {}};
        r.producers.push_back(report);
    }
    for (int c = 0; c < w.consumers; ++c) {
        ConsumerReport report;
        report.index = c;
        report.received = report.inOrder = w.totalMessages();
        report.firstDeliveryNs = 1000001000;
        report.lastDeliveryNs = 1400000000 + c * 100000000;
        r.consumers.push_back(report);
    }
    return r;
}

TEST(JudgeTest, ACleanRunPassesWithItsThroughputFromFirstSendToLastDelivery) {
    const Workload w = twoByTwo();
    const RunOutcome o = judge(w, cleanReports(w));
    ASSERT_TRUE(o.passed) << o.failure;
    EXPECT_EQ(o.elapsedNs, 500000000);
    EXPECT_DOUBLE_EQ(o.throughput, 2000.0);  // 1000 messages in 0.5 s
}

TEST(JudgeTest, GigabytesCountThePayloadSentOnce) {
    const Workload w = twoByTwo(Figure::GigabytesPerSecond);
    const RunOutcome o = judge(w, cleanReports(w));
    ASSERT_TRUE(o.passed);
    EXPECT_DOUBLE_EQ(o.throughput, 1000.0 * 1000 / 1e9 / 0.5);
}

TEST(JudgeTest, EveryKindOfFaultFailsTheRunAndNamesItsCounts) {
    const Workload w = twoByTwo();
    RunReports lost = cleanReports(w);
    lost.consumers[1]->inOrder -= 3;
    lost.consumers[1]->received -= 3;
    lost.consumers[1]->lost = 3;
    RunOutcome o = judge(w, lost);
    EXPECT_FALSE(o.passed);
    EXPECT_NE(o.failure.find("consumer 1 received 997 of 1000 (lost 3, reordered 0, corrupt 0"),
              std::string::npos)
        << o.failure;

    RunReports corrupt = cleanReports(w);
    corrupt.consumers[0]->corrupt = 1;
    EXPECT_NE(judge(w, corrupt).failure.find("corrupt 1"), std::string::npos);

    RunReports refused = cleanReports(w);
    refused.producers[0]->sent -= 1;
    refused.producers[0]->refused = 1;
    EXPECT_NE(judge(w, refused).failure.find("producer 0 sent 499 of 500 (1 refused)"), std::string::npos);

    RunReports missing = cleanReports(w);
    missing.consumers[0].reset();
    EXPECT_NE(judge(w, missing).failure.find("consumer 0 wrote no report"), std::string::npos);

    RunReports extra = cleanReports(w);
    extra.consumers[0]->received += 1;
    extra.consumers[0]->reordered = 1;
    EXPECT_FALSE(judge(w, extra).passed);
}

TEST(JudgeTest, LatencyIsTakenAtTheLastConsumerOfEachMessage) {
    Workload w = twoByTwo(Figure::Latency);
    w.producers = 1;
    w.messagesPerProducer = 4;
    w.ratePerSecond = 30;
    RunReports r = cleanReports(w);
    r.producers.resize(1);
    r.producers[0]->sendTimes = {1000, 2000, 3000, 4000};
    r.consumers[0]->deliveryTimes = {2000, 3000, 4000, 5000};   // 1 us each
    r.consumers[1]->deliveryTimes = {11000, 2500, 9000, 4500};  // 10, 0.5, 6, 0.5 us
    for (auto& c : r.consumers) c->received = c->inOrder = 4;
    const RunOutcome o = judge(w, r);
    ASSERT_TRUE(o.passed) << o.failure;
    EXPECT_EQ(o.latenciesUs, (std::vector<double>{1, 1, 6, 10}));
    EXPECT_DOUBLE_EQ(o.latency.p50Us, 1);
    EXPECT_DOUBLE_EQ(o.latency.maxUs, 10);

    r.consumers[1]->deliveryTimes.pop_back();
    EXPECT_FALSE(judge(w, r).passed);
}

TEST(JudgeTest, QuantilesUseTheNearestRank) {
    std::vector<double> values;
    for (int i = 1; i <= 100; ++i) values.push_back(i);
    EXPECT_DOUBLE_EQ(quantileOf(values, 0.50), 50);
    EXPECT_DOUBLE_EQ(quantileOf(values, 0.99), 99);
    EXPECT_DOUBLE_EQ(quantileOf(values, 1.0), 100);
    EXPECT_DOUBLE_EQ(quantileOf({7}, 0.99), 7);
}

}  // namespace
}  // namespace bench
