// The bench tests' entry. A test that starts the harness's peers re-runs
// this executable with --peer, as the harness does, so the peers' entry is
// reachable from here too.
#include <gtest/gtest.h>

#include <cstring>

#include "peers/peers.h"

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--peer") == 0 && std::strcmp(argv[3], "--config") == 0) {
        return bench::peerMain(argv[2], argv[4]);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
