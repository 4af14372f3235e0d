#include <gtest/gtest.h>

// Allocation failure must come back as a null result under AddressSanitizer,
// as it does in the normal build, so the allocators' messages can be tested.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
