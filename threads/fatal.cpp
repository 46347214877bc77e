#include "threads/fatal.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>

namespace pt {

void fatal(int code, const char* message) {
    std::fprintf(stderr, "\nInternal [%04x]: %s\n", code, message);
    std::fflush(stderr);
    // A daemon's standard error goes nowhere: the system log must say why
    // it ended.
    syslog(LOG_CRIT, "Internal [%04x]: %s", code, message);
    std::exit(code);
}

}  // namespace pt
