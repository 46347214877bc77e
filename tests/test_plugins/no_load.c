/* A shared object that exports every entry point but Load. */
#include "tessard_plugin.h"

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}
