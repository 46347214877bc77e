// ReaderStarter: who starts the Read workers a read request asks for. The
// router hands it every read request it takes; the plugin manager, which
// owns the plugins and their workers, starts one worker for every plugin
// that takes the request. Called on the sender's thread.
#pragma once

#include "tessard_plugin.h"

class ReaderStarter {
public:
    virtual ~ReaderStarter() = default;
    // Starts a Read worker for every subscribed plugin that takes read
    // requests; the request's payload is copied before this returns.
    virtual void startRequestWorkers(const CoreMessage& request) = 0;
};
