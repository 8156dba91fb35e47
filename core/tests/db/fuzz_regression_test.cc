// Replays every input in fuzz/regressions/<loader>/ through the same entry points the
// libFuzzer harnesses use. Each input runs in a child process (this binary re-executed
// with a single test selected) under an address-space limit (an allocation limit under
// the sanitizers), so an input that crashes,
// aborts on a broken invariant or asks for an allocation no file of its size could
// justify fails its own case instead of taking the whole test binary down.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_targets.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kInputVariable = "DRALM_FUZZ_REPLAY_INPUT";
constexpr const char* kLoaderVariable = "DRALM_FUZZ_REPLAY_LOADER";
// Far above what the regression inputs (a few kB) legitimately need.
constexpr rlim_t kAddressSpaceLimit = rlim_t(1) << 30;

// AddressSanitizer and ThreadSanitizer reserve terabytes of address space for their
// shadow memory, so under them an address-space limit kills the child at start-up.
// ASan gets the same bound as an allocation limit instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerShadow = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizerShadow = true;
#else
constexpr bool kSanitizerShadow = false;
#endif
#else
constexpr bool kSanitizerShadow = false;
#endif
constexpr const char* kAsanAllocationLimit =
    "max_allocation_size_mb=1024:allocator_may_return_null=1";

fs::path regressions_dir() { return fs::path(DRALM_SOURCE_DIR) / "fuzz" / "regressions"; }

int run_entry(const std::string& loader, const dralm_fuzz::Bytes& data) {
  if (loader == "graph") return dralm_fuzz::run_graph(data.data(), data.size());
  if (loader == "vectors") return dralm_fuzz::run_vectors(data.data(), data.size());
  if (loader == "sq8") return dralm_fuzz::run_sq8(data.data(), data.size());
  if (loader == "wal") return dralm_fuzz::run_wal(data.data(), data.size());
  ADD_FAILURE() << "unknown loader directory " << loader;
  return 1;
}

// Runs one input in a fresh copy of this binary; returns its wait status.
int replay_in_child(const std::string& loader, const fs::path& input) {
  std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string filter = "--gtest_filter=FuzzRegressionChild.ReplayOneInput";
  std::vector<char*> argv = {self.data(), filter.data(), nullptr};
  std::vector<std::string> env_strings;
  bool asan_options_seen = false;
  for (char** e = environ; *e != nullptr; ++e) {
    env_strings.emplace_back(*e);
    if (kSanitizerShadow && env_strings.back().starts_with("ASAN_OPTIONS=")) {
      env_strings.back() += std::string(":") + kAsanAllocationLimit;
      asan_options_seen = true;
    }
  }
  if (kSanitizerShadow && !asan_options_seen) {
    env_strings.push_back(std::string("ASAN_OPTIONS=") + kAsanAllocationLimit);
  }
  env_strings.push_back(std::string(kInputVariable) + "=" + input.string());
  env_strings.push_back(std::string(kLoaderVariable) + "=" + loader);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  // The limit is set here and inherited: posix_spawn offers no rlimit attribute, and
  // the parent's own limit is restored right after the spawn.
  rlimit old_limit{};
  getrlimit(RLIMIT_AS, &old_limit);
  rlimit limit{kAddressSpaceLimit, old_limit.rlim_max};
  if (old_limit.rlim_max != RLIM_INFINITY && old_limit.rlim_max < kAddressSpaceLimit) {
    limit.rlim_cur = old_limit.rlim_max;
  }
  if (!kSanitizerShadow) setrlimit(RLIMIT_AS, &limit);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data());
  if (!kSanitizerShadow) setrlimit(RLIMIT_AS, &old_limit);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

std::vector<fs::path> inputs_of(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class FuzzRegression : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzRegression, EveryStoredInputIsHandledCleanly) {
  const std::string loader = GetParam();
  const std::vector<fs::path> files = inputs_of(regressions_dir() / loader);
  ASSERT_FALSE(files.empty()) << "no regression inputs under " << regressions_dir() / loader;
  for (const fs::path& file : files) {
    int status = replay_in_child(loader, file);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << loader << " input " << file.filename() << " failed: "
        << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                : "exit status " + std::to_string(WEXITSTATUS(status)));
  }
}

INSTANTIATE_TEST_SUITE_P(Loaders, FuzzRegression,
                         ::testing::Values("graph", "vectors", "sq8", "wal"));

// The child side of replay_in_child; skipped when run on its own.
TEST(FuzzRegressionChild, ReplayOneInput) {
  const char* input = std::getenv(kInputVariable);
  const char* loader = std::getenv(kLoaderVariable);
  if (input == nullptr || loader == nullptr) GTEST_SKIP() << "only run by FuzzRegression";
  dralm_fuzz::Bytes data = dralm_fuzz::read_file(input);
  EXPECT_EQ(run_entry(loader, data), 0);
}

}  // namespace
