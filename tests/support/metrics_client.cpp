#include "metrics_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>

#include "temp_dir.h"

namespace {

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and error together
};

ToolRun runCommand(const std::string& command) {
    ToolRun run;
    FILE* pipe = popen(("exec 2>&1; " + command).c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> buffer;
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        run.output.append(buffer.data(), got);
    }
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return run;
}

bool installed(const std::string& program) {
    return runCommand("command -v " + program).status == 0;
}

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

// Sends `request` to 127.0.0.1:`port` and reads until the server closes;
// nothing when no connection was made.
std::optional<std::string> roundTrip(unsigned port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval limit{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::optional<std::string> answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        answer.emplace();
        std::array<char, 4096> buffer;
        for (ssize_t got; (got = recv(fd, buffer.data(), buffer.size(), 0)) > 0;) {
            answer->append(buffer.data(), static_cast<std::size_t>(got));
        }
    }
    close(fd);
    return answer;
}

// ---- The text format --------------------------------------------------

const std::string kName = "[a-zA-Z_:][a-zA-Z0-9_:]*";
const std::string kLabel = R"([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")";

bool endsWith(const std::string& text, const std::string& ending) {
    return text.size() > ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

double numberOf(const std::string& text, bool* valid) {
    *valid = true;
    if (text == "+Inf") return HUGE_VAL;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    *valid = !text.empty() && *end == '\0';
    return value;
}

struct Reader {
    Exposition exposition;
    std::set<std::string> helped;
    // Per histogram series (family, labels without le): the buckets in order.
    std::map<std::pair<std::string, std::string>, std::vector<std::pair<double, double>>> buckets;

    void problem(const std::string& text) { exposition.problems.push_back(text); }

    void comment(const std::string& line) {
        static const std::regex help("# HELP (" + kName + ") .+");
        static const std::regex type("# TYPE (" + kName + ") (counter|gauge|histogram)");
        std::smatch match;
        if (std::regex_match(line, match, help)) {
            helped.insert(match[1]);
        } else if (!std::regex_match(line, match, type)) {
            problem("not a HELP or TYPE line: " + line);
        } else if (!exposition.types.emplace(match[1], match[2]).second) {
            problem("TYPE twice: " + line);
        } else if (match[2] == "counter" && !endsWith(match[1], "_total")) {
            problem("a counter not named *_total: " + line);
        }
    }

    // The family of a sample: its own name, or the histogram's whose
    // _bucket, _sum or _count it is.
    std::string familyOf(const std::string& name) const {
        static const std::regex part("(.*)_(bucket|sum|count)");
        std::smatch match;
        if (exposition.types.count(name) != 0) return name;
        if (!std::regex_match(name, match, part)) return "";
        const auto type = exposition.types.find(match[1]);
        return type != exposition.types.end() && type->second == "histogram" ? type->first : "";
    }

    void sample(const std::string& line) {
        static const std::regex form("(" + kName + ")(?:\\{((?:" + kLabel + ")(?:," + kLabel +
                                     ")*)\\})? (\\S+)");
        std::smatch match;
        bool valid = false;
        if (!std::regex_match(line, match, form)) return problem("malformed sample: " + line);
        const double value = numberOf(match[3], &valid);
        const std::string family = familyOf(match[1]);
        if (!valid) problem("a value that is no number: " + line);
        if (family.empty()) return problem("a sample before its TYPE: " + line);
        if (helped.count(family) == 0) problem("a family without HELP: " + family);
        const std::string series = match[2].length() != 0 ? match.str(1) + "{" + match.str(2) + "}"
                                                          : match.str(1);
        if (!exposition.samples.emplace(series, value).second) problem("a series twice: " + line);
        if (match[1] == family + "_bucket") bucket(family, match[2], value);
    }

    void bucket(const std::string& family, const std::string& labels, double value) {
        static const std::regex le(R"((^|,)le="([^"]*)\")");
        std::smatch match;
        bool valid = false;
        if (!std::regex_search(labels, match, le)) return problem("a bucket without le: " + labels);
        const double bound = numberOf(match[2], &valid);
        if (!valid) problem("an le that is no number: " + labels);
        buckets[{family, std::regex_replace(labels, le, "")}].emplace_back(bound, value);
    }

    // Buckets cumulative in increasing le, up to +Inf, which is _count.
    void checkHistograms() {
        for (const auto& [key, series] : buckets) {
            const std::string labels = key.second.empty() ? "" : "{" + key.second + "}";
            for (std::size_t i = 1; i < series.size(); ++i) {
                if (series[i].first <= series[i - 1].first ||
                    series[i].second < series[i - 1].second) {
                    problem("buckets not cumulative in increasing le: " + key.first + labels);
                }
            }
            if (series.back().first != HUGE_VAL ||
                exposition.value(key.first + "_count" + labels) != series.back().second) {
                problem("no +Inf bucket, or one unlike _count: " + key.first + labels);
            }
        }
    }
};

// The text of an HTML document: tags removed, the entities Chromium writes
// replaced, blanks folded.
std::string textOf(const std::string& html) {
    std::string text = std::regex_replace(html, std::regex("<[^>]*>"), " ");
    for (const auto& [entity, character] :
         std::vector<std::pair<std::string, std::string>>{
             {"&nbsp;", " "}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}}) {
        for (std::size_t at; (at = text.find(entity)) != std::string::npos;) {
            text.replace(at, entity.size(), character);
        }
    }
    return std::regex_replace(text, std::regex("[ \t\r\n]+"), " ");
}

}  // namespace

HttpAnswer httpGet(unsigned port, const std::string& path) {
    HttpAnswer answer;
    const std::optional<std::string> raw =
        roundTrip(port, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    const std::size_t end = raw ? raw->find("\r\n\r\n") : std::string::npos;
    if (end == std::string::npos || raw->compare(0, 7, "HTTP/1.") != 0) return answer;
    answer.status = std::atoi(raw->c_str() + 9);
    answer.headers = raw->substr(0, end);
    answer.body = raw->substr(end + 4);
    return answer;
}

unsigned printedPort(const std::string& output) {
    static const std::regex line(R"(metrics: page at http://127\.0\.0\.1:(\d+)/ )");
    std::smatch match;
    return std::regex_search(output, match, line) ? std::stoul(match[1]) : 0;
}

std::optional<double> Exposition::value(const std::string& series) const {
    const auto found = samples.find(series);
    if (found == samples.end()) return std::nullopt;
    return found->second;
}

Exposition readExposition(const std::string& text) {
    Reader reader;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.empty()) continue;
        if (line[0] == '#') reader.comment(line);
        else reader.sample(line);
    }
    if (start != text.size()) reader.problem("the text does not end with a line feed");
    reader.checkHistograms();
    return reader.exposition;
}

void expectValidExposition(const std::string& text) {
    if (installed("promtool")) {
        TempDir directory;
        writeFile(directory / "metrics.txt", text);
        const ToolRun check =
            runCommand("promtool check metrics < " + quoted(directory / "metrics.txt"));
        EXPECT_EQ(check.status, 0) << check.output << text;
        EXPECT_EQ(check.output, "") << "promtool's lint";
    }
    EXPECT_EQ(readExposition(text).problems, std::vector<std::string>{}) << text;
}

std::optional<std::string> browserText(const std::string& url, const std::string& screenshot,
                                       const std::string& home) {
    if (!installed("chromium")) return std::nullopt;
    // A bounded run: a browser that hangs is killed, its children with it.
    const std::string browser = "HOME=" + quoted(home) + " timeout -k 10 120 chromium --headless" +
                                " --no-sandbox --disable-gpu --hide-scrollbars" +
                                " --user-data-dir=" + quoted(home + "/chromium") +
                                " --window-size=1500,720 ";
    const ToolRun shot =
        runCommand(browser + "--screenshot=" + quoted(screenshot) + " " + quoted(url));
    if (shot.status != 0) return "the screenshot failed: " + shot.output;
    const ToolRun dom = runCommand(browser + "--dump-dom " + quoted(url) + " 2>/dev/null");
    if (dom.status != 0) return "the page could not be read: " + dom.output;
    return textOf(dom.output);
}
