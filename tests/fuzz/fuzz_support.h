// What the fuzz targets share: the toolkit set up once per process, a quiet
// log, reading structured values out of the fuzzer's bytes, and a way to
// fail that every build of a target turns into a finding.
//
// A target is one LLVMFuzzerTestOneInput. It is linked with libFuzzer's own
// main() in the fuzzing build (scripts/fuzz.sh) and with replay_main.cpp in
// the ordinary builds, where it replays its seed corpus as a test. Either way
// inputs arrive one at a time on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

// Initialises the toolkit and installs a log target that drops every record,
// once per process; later calls do nothing. Log records would otherwise fill
// the fuzzer's output, and none of them is what a target checks.
void setUpProcess();

// Prints `what` and aborts: libFuzzer saves the input that got here, and the
// replay test fails.
[[noreturn]] void fail(const std::string& what);

inline void check(bool condition, const std::string& what) {
    if (!condition) fail(what);
}

// Reads values from the front of the fuzzer's bytes. Once they run out every
// read yields zeros, so that any input decodes to something.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data(data), left(size) {}

    bool empty() const { return left == 0; }
    std::size_t remaining() const { return left; }

    std::uint8_t byte() {
        if (left == 0) return 0;
        --left;
        return *data++;
    }

    // `count` bytes, little-endian, at most eight.
    std::uint64_t number(int count) {
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i) value |= std::uint64_t{byte()} << (8 * i);
        return value;
    }

    // Up to `count` bytes as they are.
    std::string text(std::size_t count) {
        const std::size_t taken = count < left ? count : left;
        std::string bytes(reinterpret_cast<const char*>(data), taken);
        data += taken;
        left -= taken;
        return bytes;
    }

    std::string rest() { return text(left); }

private:
    const std::uint8_t* data;
    std::size_t left;
};

// A directory of its own under $TMPDIR (or /tmp) for the whole process,
// removed when the process exits normally.
const std::string& scratchDirectory();

}  // namespace fuzz
