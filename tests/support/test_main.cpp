#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>

// Allocation failure must come back as a null result under AddressSanitizer,
// as it does in the normal build, so the allocators' messages can be tested.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

namespace fs = std::filesystem;

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) names.insert(entry.path().filename().string());
    return names;
}

// Every test runs with a temporary folder of this process's own (TMPDIR),
// where the tests' folders and the runs' private folders go; after each
// test that folder must be empty again and the working directory as it was:
// nothing a test runs may leave a file behind.
class NothingLeftBehind : public testing::EmptyTestEventListener {
public:
    explicit NothingLeftBehind(fs::path tmp) : tmp_(std::move(tmp)) {}
    void OnTestStart(const testing::TestInfo&) override { before_ = namesIn(fs::current_path()); }
    void OnTestEnd(const testing::TestInfo& test) override {
        std::string left;
        for (const auto& name : namesIn(fs::current_path()))
            if (before_.count(name) == 0) left.append(" ./").append(name);
        for (const auto& name : namesIn(tmp_)) left.append(" ").append((tmp_ / name).string());
        if (left.empty()) return;
        ADD_FAILURE() << test.test_suite_name() << "." << test.name() << " left files behind:" << left;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(tmp_, ignored)) fs::remove_all(entry.path(), ignored);
    }

private:
    fs::path tmp_;
    std::set<std::string> before_;
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/minque-suite-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    setenv("TMPDIR", pattern.c_str(), 1);
    testing::UnitTest::GetInstance()->listeners().Append(new NothingLeftBehind(pattern));
    const int status = RUN_ALL_TESTS();
    std::error_code ignored;
    fs::remove_all(pattern, ignored);
    return status;
}
