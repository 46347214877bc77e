#include "threads/sleep.h"

#include <cerrno>
#include <ctime>

namespace pt {

void psleep(unsigned milliseconds) {
    timespec rest;
    rest.tv_sec = milliseconds / 1000;
    rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

}  // namespace pt
