#include "peers/peer_run.h"

namespace bench {

PeerRun::PeerRun(const RunConfig& config) : config(config), watch(config.workload.consumers) {
    for (int i = 0; i < config.workload.producers; ++i) {
        producers.push_back(std::make_unique<Producer>(config.workload, i, config.fault));
    }
    for (int i = 0; i < config.workload.consumers; ++i) {
        consumers.push_back(std::make_unique<Consumer>(config.workload, i));
    }
}

bool PeerRun::writeReports() const {
    bool written = true;
    for (const auto& p : producers) {
        written &= writeReport(producerReportPath(config.resultsDir, p->producerIndex()), p->report());
    }
    for (std::size_t i = 0; i < consumers.size(); ++i) {
        written &= writeReport(consumerReportPath(config.resultsDir, static_cast<int>(i)),
                               consumers[i]->report());
    }
    return written;
}

}  // namespace bench
