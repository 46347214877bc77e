#include "monitor/system_readings.h"

#include <ctime>

// The build defines TESSARD_HAVE_TCMALLOC when tcmalloc is the allocator;
// the sanitizer builds bring allocators of their own.
#ifdef TESSARD_HAVE_TCMALLOC
#include <gperftools/malloc_extension.h>
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
