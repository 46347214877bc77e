// What one producer and one consumer report after a run, and the text files
// they are written to.
//
// Every contender ends in these reports: the server's plugins write them
// into the run directory, the peers' processes write the same files, and
// the harness reads them all with the same code before it judges the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct ProducerReport {
    int index = 0;
    std::int64_t sent = 0;     // accepted by the hub
    std::int64_t refused = 0;  // the hub said no
    std::int64_t firstSendNs = 0;
    std::int64_t lastSendNs = 0;
    // Latency workloads only: when each message (by sequence) was sent.
    std::vector<std::int64_t> sendTimes;
};

struct ConsumerReport {
    int index = 0;
    std::int64_t received = 0;     // every delivery
    std::int64_t inOrder = 0;      // deliveries that were the next expected message
    std::int64_t lost = 0;         // messages skipped over or never delivered
    std::int64_t reordered = 0;    // deliveries older than the next expected (or repeated)
    std::int64_t corrupt = 0;      // ends that disagree, or an impossible stamp
    std::int64_t wrongLength = 0;  // deliveries whose length is not the payload size
    std::int64_t firstDeliveryNs = 0;
    std::int64_t lastDeliveryNs = 0;  // when the last expected message arrived; 0 if never
    // Latency workloads only: when each message (producer-major) arrived; 0 = never.
    std::vector<std::int64_t> deliveryTimes;
};

bool writeReport(const std::string& path, const ProducerReport& report);
bool writeReport(const std::string& path, const ConsumerReport& report);
std::optional<ProducerReport> readProducerReport(const std::string& path);
std::optional<ConsumerReport> readConsumerReport(const std::string& path);

// Where a run's reports and markers live inside its results directory.
std::string producerReportPath(const std::string& directory, int index);
std::string consumerReportPath(const std::string& directory, int index);
// Empty files: a consumer that has every message, all producers finished.
std::string consumerDonePath(const std::string& directory, int index);
std::string producersDonePath(const std::string& directory);
bool touch(const std::string& path);

}  // namespace bench
