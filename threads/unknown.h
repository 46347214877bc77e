// The root of the runtime's polymorphic classes, and the exception that the
// thread entry knows how to unwind.
//
// pt::exception is thrown and caught by pointer; only the thread entry and its
// epilogue (thread.cpp) catch it.
#pragma once

#include <string>

namespace pt {

class unknown {
public:
    virtual ~unknown() = default;
};

class exception : public unknown {
public:
    explicit exception(std::string message) : text(std::move(message)) {}
    ~exception() override = default;

    virtual std::string message() const { return text; }

private:
    std::string text;
};

}  // namespace pt
