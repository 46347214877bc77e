// The client side of the metrics example plugin, for its tests: an HTTP GET,
// a reader of the Prometheus text that also checks its format (the check
// the tests fall back on where promtool is not installed), and the two
// outside programs that judge the plugin's output: promtool and a headless
// Chromium.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct HttpAnswer {
    int status = 0;  // 0 when no answer came
    std::string headers;
    std::string body;
};

// GET `path` from 127.0.0.1:`port` over HTTP/1.0, waiting up to 30
// seconds; status 0 when nothing accepted the connection or answered.
HttpAnswer httpGet(unsigned port, const std::string& path);

// The port of the page in the metrics plugin's start line ("metrics: page
// at http://127.0.0.1:PORT/ ..."); 0 when `output` has none.
unsigned printedPort(const std::string& output);

// The Prometheus text format, read line by line.
struct Exposition {
    std::map<std::string, double> samples;      // "name{labels}" as written, to its value
    std::map<std::string, std::string> types;   // family name to its TYPE
    std::vector<std::string> problems;          // where the text breaks the format

    std::optional<double> value(const std::string& series) const;
};

// Reads `text` and lists its faults: a sample before its family's TYPE or
// without HELP, a malformed line or label, a value that is no number, a
// counter not named *_total, a series given twice, histogram buckets that
// are not cumulative or whose +Inf bucket differs from _count. The check
// the tests rely on where promtool is not installed.
Exposition readExposition(const std::string& text);

// Expects `text` to pass promtool where it is installed, and
// readExposition's checks everywhere.
void expectValidExposition(const std::string& text);

// Loads `url` in headless Chromium, saves a screenshot of it at
// `screenshot` and returns the page's text once it was laid out (the DOM
// with its tags removed); nothing when Chromium is not installed. `home`
// is the browser's profile directory.
std::optional<std::string> browserText(const std::string& url, const std::string& screenshot,
                                       const std::string& home);
