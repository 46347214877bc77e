// The shared checks, on their own: producers and consumers wired through
// small hubs written here, a correct one and broken ones, to show that each
// kind of fault is counted and that a clean stream passes.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "common/consumer.h"
#include "common/producer.h"
#include "common/reports.h"

namespace bench {
namespace {

Workload small(int producers, std::int64_t messages, std::size_t bytes = 64) {
    Workload w;
    w.name = "T";
    w.producers = producers;
    w.messagesPerProducer = messages;
    w.payloadBytes = bytes;
    w.consumers = 1;
    return w;
}

// A hub that copies and delivers at once, as a correct hub does.
void runCopying(std::vector<Producer>& producers, Consumer& consumer) {
    auto send = [&consumer](const std::uint8_t* data, std::size_t bytes) {
        std::vector<std::uint8_t> copy(data, data + bytes);
        consumer.receive(copy.data(), copy.size());
        return true;
    };
    for (bool more = true; more;) {
        more = false;
        for (Producer& p : producers) {
            if (p.done()) continue;
            p.sendNext(send);
            more = true;
        }
    }
}

std::vector<Producer> producersFor(const Workload& w, Fault fault) {
    std::vector<Producer> producers;
    for (int i = 0; i < w.producers; ++i) producers.emplace_back(w, i, fault);
    return producers;
}

TEST(ConsumerTest, AnIntactStreamFromSeveralProducersCompletesWithNothingCounted) {
    const Workload w = small(3, 500);
    std::vector<Producer> producers = producersFor(w, Fault::None);
    Consumer consumer(w, 0);
    runCopying(producers, consumer);
    const ConsumerReport r = consumer.report();
    EXPECT_TRUE(consumer.complete());
    EXPECT_EQ(r.received, 1500);
    EXPECT_EQ(r.inOrder, 1500);
    EXPECT_EQ(r.lost + r.reordered + r.corrupt + r.wrongLength, 0);
    EXPECT_GT(r.lastDeliveryNs, 0);
    for (const Producer& p : producers) EXPECT_EQ(p.report().sent, 500);
}

struct FaultCase {
    Fault fault;
    std::int64_t lost, reordered, corrupt;
};

class ProducerFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(ProducerFaultTest, IsCountedAndTheStreamNeverCompletes) {
    const Workload w = small(2, 100);
    std::vector<Producer> producers = producersFor(w, GetParam().fault);
    Consumer consumer(w, 0);
    runCopying(producers, consumer);
    const ConsumerReport r = consumer.report();
    EXPECT_FALSE(consumer.complete());
    // Each of the two producers makes the fault once.
    EXPECT_EQ(r.lost, 2 * GetParam().lost);
    EXPECT_EQ(r.reordered, 2 * GetParam().reordered);
    EXPECT_EQ(r.corrupt, 2 * GetParam().corrupt);
}

INSTANTIATE_TEST_SUITE_P(Faults, ProducerFaultTest,
                         testing::Values(FaultCase{Fault::Drop, 1, 0, 0},
                                         FaultCase{Fault::Reorder, 1, 1, 0},
                                         FaultCase{Fault::Corrupt, 1, 0, 1}));

TEST(ConsumerTest, AHubThatPassesTheProducersBufferOnWithoutACopyIsCaught) {
    const Workload w = small(1, 50);
    Producer producer(w, 0);
    Consumer consumer(w, 0);
    // Delivery happens after the send returned, from the producer's memory.
    const std::uint8_t* pending = nullptr;
    auto send = [&](const std::uint8_t* data, std::size_t) {
        pending = data;
        return true;
    };
    while (!producer.done()) {
        producer.sendNext(send);
        consumer.receive(pending, w.payloadBytes);
    }
    EXPECT_EQ(consumer.report().corrupt, 50);
    EXPECT_FALSE(consumer.complete());
}

TEST(ConsumerTest, WrongLengthsAndForeignStampsAreCountedNotTrusted) {
    const Workload w = small(1, 4);
    Consumer consumer(w, 0);
    std::vector<std::uint8_t> frame(64, 0);
    writeStamp(frame.data(), frame.size(), 0, 0);
    consumer.receive(frame.data(), 63);
    consumer.receive(nullptr, 64);
    writeStamp(frame.data(), frame.size(), 7, 0);  // no producer 7
    consumer.receive(frame.data(), frame.size());
    writeStamp(frame.data(), frame.size(), 0, 99);  // beyond the run
    consumer.receive(frame.data(), frame.size());
    const ConsumerReport r = consumer.report();
    EXPECT_EQ(r.wrongLength, 2);
    EXPECT_EQ(r.corrupt, 2);
    EXPECT_EQ(r.lost, 4);  // nothing valid arrived
}

TEST(ConsumerTest, ARepeatAfterCompletionStillCounts) {
    const Workload w = small(1, 2);
    Consumer consumer(w, 0);
    std::vector<std::uint8_t> frame(64, 0);
    writeStamp(frame.data(), frame.size(), 0, 0);
    EXPECT_FALSE(consumer.receive(frame.data(), frame.size()));
    writeStamp(frame.data(), frame.size(), 0, 1);
    EXPECT_TRUE(consumer.receive(frame.data(), frame.size()));
    EXPECT_FALSE(consumer.receive(frame.data(), frame.size()));
    EXPECT_EQ(consumer.report().reordered, 1);
}

TEST(ProducerTest, PacedProducersAreSpreadOverOnePeriodAndTimeEverySend) {
    Workload w = small(4, 3);
    w.ratePerSecond = 100;  // a period of 10 ms
    std::vector<Producer> producers = producersFor(w, Fault::None);
    for (Producer& p : producers) p.start(1000000000);
    EXPECT_EQ(producers[0].dueNs(), 1000000000);
    EXPECT_EQ(producers[1].dueNs(), 1002500000);
    EXPECT_EQ(producers[3].dueNs(), 1007500000);
    auto accept = [](const std::uint8_t*, std::size_t) { return true; };
    producers[1].sendNext(accept);
    EXPECT_EQ(producers[1].dueNs(), 1012500000);
    EXPECT_GT(producers[1].report().sendTimes[0], 0);
    EXPECT_EQ(producers[1].report().sendTimes[1], 0);
}

TEST(ProducerTest, RefusedSendsAreCounted) {
    const Workload w = small(1, 10);
    Producer producer(w, 0);
    int calls = 0;
    auto refuseOdd = [&calls](const std::uint8_t*, std::size_t) { return ++calls % 2 == 0; };
    while (!producer.done()) producer.sendNext(refuseOdd);
    EXPECT_EQ(producer.report().sent, 5);
    EXPECT_EQ(producer.report().refused, 5);
}

TEST(ReportsTest, ReportsSurviveTheirFiles) {
    const std::string dir = testing::TempDir() + "/bench-reports-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    ProducerReport p{3, 10, 2, 111, 222, {5, 6, 7}};
    ConsumerReport c;
    c.index = 1;
    c.received = 9;
    c.inOrder = 8;
    c.lost = 1;
    c.reordered = 2;
    c.corrupt = 3;
    c.wrongLength = 4;
    c.firstDeliveryNs = 5;
    c.lastDeliveryNs = 6;
    c.deliveryTimes = {0, 42};
    ASSERT_TRUE(writeReport(producerReportPath(dir, 3), p));
    ASSERT_TRUE(writeReport(consumerReportPath(dir, 1), c));
    const auto p2 = readProducerReport(producerReportPath(dir, 3));
    const auto c2 = readConsumerReport(consumerReportPath(dir, 1));
    ASSERT_TRUE(p2 && c2);
    EXPECT_EQ(p2->sent, 10);
    EXPECT_EQ(p2->refused, 2);
    EXPECT_EQ(p2->lastSendNs, 222);
    EXPECT_EQ(p2->sendTimes, p.sendTimes);
    EXPECT_EQ(c2->lost, 1);
    EXPECT_EQ(c2->wrongLength, 4);
    EXPECT_EQ(c2->deliveryTimes, c.deliveryTimes);
    EXPECT_FALSE(readConsumerReport(dir + "/absent.txt"));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace bench
