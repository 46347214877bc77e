// ThrottleGauge: whether the core throttles video for low memory, as the
// router reads it for every sequenced record. The housekeeping keeps the
// state; the router only asks.
#pragma once

class ThrottleGauge {
public:
    virtual ~ThrottleGauge() = default;
    // Any thread; the answer orders nothing else.
    virtual bool throttling() const = 0;
};
