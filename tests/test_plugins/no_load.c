/* A shared object that exports every entry point but Load. */
#define _GNU_SOURCE
#include "test_plugin.h"

TEST_PLUGIN_EMPTY_OPEN

TEST_PLUGIN_EMPTY_CLOSE
