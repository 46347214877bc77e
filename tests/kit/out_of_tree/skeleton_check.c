/* A plugin author's test of the skeleton, as it is built outside the
 * server's tree: against the installed harness, with nothing but
 * `pkg-config --cflags --libs tessard-harness`. The installed-tree test
 * builds and runs it. Prints "skeleton_check: passed" and ends with 0, or
 * names what failed and ends with 1. */
#include <stdio.h>
#include <string.h>

#include "tessard_harness.h"

#define SKELETON_ID UINT64_C(0x7E550070)

static int failures;

static void check(int condition, const char* what) {
    if (condition) return;
    printf("skeleton_check: failed: %s\n", what);
    ++failures;
}

/* Whether the skeleton received `text` through Write. */
static int wroteText(const TessardHarness* harness, const char* text) {
    size_t at;
    for (at = 0; at < tessardHarnessReceivedCount(harness, SKELETON_ID); ++at) {
        const TessardHarnessReceived* call = tessardHarnessReceivedAt(harness, SKELETON_ID, at);
        if (call->entry == TESSARD_HARNESS_WRITE && call->type == MSG_TYPE_TEXT &&
            call->length == strlen(text) && memcmp(call->payload, text, call->length) == 0) {
            return 1;
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    static const char notice[] = "a notice for the author's test";
    TessardHarness* harness;
    size_t at;
    if (argc != 2) {
        printf("usage: skeleton_check SKELETON.so\n");
        return 1;
    }
    harness = tessardHarnessCreate();
    if (harness == NULL) {
        printf("skeleton_check: failed: no harness\n");
        return 1;
    }
    check(tessardHarnessAddPlugin(harness, argv[1]) == 0, "the plugin is copied in");
    check(tessardHarnessStart(harness) == 1, "the plugin loads");
    check(tessardHarnessOpenCode(harness, 0) == 0, "Open returns 0");
    check(tessardHarnessRunUntilIdle(harness, 60000), "the start's events are handed out");
    check(tessardHarnessSentCount(harness, SKELETON_ID) == 1, "the skeleton greets once");
    check(tessardHarnessSendTextNotice(harness, notice) == STATUS_OK, "the notice is taken");
    check(tessardHarnessRunUntilIdle(harness, 60000), "the notice is handed out");
    check(wroteText(harness, notice), "the skeleton receives the notice through Write");
    check(tessardHarnessStop(harness) == 0, "no contract breach");
    for (at = 0; at < tessardHarnessBreachCount(harness); ++at) {
        printf("skeleton_check: %s\n", tessardHarnessBreachText(harness, at));
    }
    tessardHarnessDestroy(harness);
    if (failures != 0) return 1;
    printf("skeleton_check: passed\n");
    return 0;
}
