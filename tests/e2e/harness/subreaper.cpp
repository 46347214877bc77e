#include "subreaper.h"

#include <sys/prctl.h>
#include <sys/wait.h>

#include <thread>

Subreaper::Subreaper() : isActive(prctl(PR_SET_CHILD_SUBREAPER, 1) == 0) {}

Subreaper::~Subreaper() {
    if (isActive) prctl(PR_SET_CHILD_SUBREAPER, 0);
}

std::optional<int> Subreaper::reap(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
