// Publishing a full run: its report replaces the results section of
// docs/performance.md (between the two marker comments), so that the page
// always shows the latest full run.
#pragma once

#include <string>
#include <vector>

namespace bench {

bool publishToDocs(const std::string& markdown, const std::vector<std::string>& plots);

}  // namespace bench
