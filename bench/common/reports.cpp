#include "common/reports.h"

#include <fstream>
#include <map>

namespace bench {

namespace {

// A report file: "name value" lines, then "times N" and N lines of times.
using Fields = std::map<std::string, std::int64_t>;

bool writeFile(const std::string& path, const Fields& fields,
               const std::vector<std::int64_t>& times) {
    std::ofstream out(path + ".part");
    for (const auto& [name, value] : fields) out << name << ' ' << value << '\n';
    out << "times " << times.size() << '\n';
    for (std::int64_t t : times) out << t << '\n';
    out.close();
    // Renamed into place, so a reader never sees half a report.
    return out && std::rename((path + ".part").c_str(), path.c_str()) == 0;
}

bool readFile(const std::string& path, Fields& fields, std::vector<std::int64_t>& times) {
    std::ifstream in(path);
    std::string name;
    std::int64_t value = 0;
    while (in >> name >> value) {
        if (name == "times") {
            times.resize(static_cast<std::size_t>(value));
            for (std::int64_t& t : times) in >> t;
            return static_cast<bool>(in) || times.empty();
        }
        fields[name] = value;
    }
    return false;
}

}  // namespace

bool writeReport(const std::string& path, const ProducerReport& r) {
    return writeFile(path,
                     {{"index", r.index}, {"sent", r.sent}, {"refused", r.refused},
                      {"first_send_ns", r.firstSendNs}, {"last_send_ns", r.lastSendNs}},
                     r.sendTimes);
}

bool writeReport(const std::string& path, const ConsumerReport& r) {
    return writeFile(path,
                     {{"index", r.index}, {"received", r.received}, {"in_order", r.inOrder},
                      {"lost", r.lost}, {"reordered", r.reordered}, {"corrupt", r.corrupt},
                      {"wrong_length", r.wrongLength}, {"first_delivery_ns", r.firstDeliveryNs},
                      {"last_delivery_ns", r.lastDeliveryNs}},
                     r.deliveryTimes);
}

std::optional<ProducerReport> readProducerReport(const std::string& path) {
    Fields f;
    ProducerReport r;
    if (!readFile(path, f, r.sendTimes)) return std::nullopt;
    r.index = static_cast<int>(f["index"]);
    r.sent = f["sent"];
    r.refused = f["refused"];
    r.firstSendNs = f["first_send_ns"];
    r.lastSendNs = f["last_send_ns"];
    return r;
}

std::optional<ConsumerReport> readConsumerReport(const std::string& path) {
    Fields f;
    ConsumerReport r;
    if (!readFile(path, f, r.deliveryTimes)) return std::nullopt;
    r.index = static_cast<int>(f["index"]);
    r.received = f["received"];
    r.inOrder = f["in_order"];
    r.lost = f["lost"];
    r.reordered = f["reordered"];
    r.corrupt = f["corrupt"];
    r.wrongLength = f["wrong_length"];
    r.firstDeliveryNs = f["first_delivery_ns"];
    r.lastDeliveryNs = f["last_delivery_ns"];
    return r;
}

std::string producerReportPath(const std::string& directory, int index) {
    return directory + "/producer-" + std::to_string(index) + ".txt";
}

std::string consumerReportPath(const std::string& directory, int index) {
    return directory + "/consumer-" + std::to_string(index) + ".txt";
}

std::string consumerDonePath(const std::string& directory, int index) {
    return directory + "/consumer-" + std::to_string(index) + ".done";
}

std::string producersDonePath(const std::string& directory) {
    return directory + "/producers.done";
}

bool touch(const std::string& path) {
    std::ofstream out(path);
    return static_cast<bool>(out);
}

}  // namespace bench
