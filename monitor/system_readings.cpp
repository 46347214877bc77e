#include "monitor/system_readings.h"

#include <ctime>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#include <gperftools/malloc_extension.h>
#define TESSARD_HAVE_TCMALLOC 1
#endif

namespace {

class RealReadings : public SystemReadings {
public:
    std::int64_t wallClockSeconds() override { return static_cast<std::int64_t>(std::time(nullptr)); }

    bool allocatedHeapBytes(std::uint64_t& bytes) override {
#ifdef TESSARD_HAVE_TCMALLOC
        std::size_t value = 0;
        if (!MallocExtension::instance()->GetNumericProperty("generic.current_allocated_bytes",
                                                             &value)) {
            return false;
        }
        bytes = value;
        return true;
#else
        (void)bytes;
        return false;
#endif
    }
};

}  // namespace

SystemReadings& systemReadings() {
    static RealReadings real;
    return real;
}
