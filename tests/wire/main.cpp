// Entry of wire_test: the tests, or the peer process that one of them starts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

#include "tests/wire/WireTestSupport.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == kova::wire::test::kMemFdPeerFlag) {
        return kova::wire::test::runMemFdPeer(std::atoi(argv[2]));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
