// Cost of logging: one batch of N Insert records (128 floats and small metadata each)
// appended with one flush per record, then read back. Prints the median of several runs.
//
//   wal_append [records=10000] [dim=128] [runs=7] [dir=/tmp]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "json/json.h"
#include "store/wal_record.h"
#include "util/file_io.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Process CPU time (user + system): on a shared, loaded machine this says more about the
// code than the wall clock does.
double cpu_seconds() {
  timespec t;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dralm;
  const size_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
  const size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 7;
  const std::string dir = argc > 4 ? argv[4] : "/tmp";
  const std::string path = join_path(dir, "wal_bench_" + std::to_string(::getpid()) + ".dralm");

  std::mt19937 rng(1);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> vectors(records * dim);
  for (float& x : vectors) x = uniform(rng);
  std::vector<std::string> ids(records);
  std::vector<JsonValue> metadata(records);
  for (size_t i = 0; i < records; ++i) {
    ids[i] = "doc-" + std::to_string(i);
    metadata[i] = parse_json("{\"n\":" + std::to_string(i) + ",\"tag\":\"t\"}").value();
  }
  std::vector<WalRecordView> batch;
  batch.reserve(records);
  for (size_t i = 0; i < records; ++i) {
    batch.push_back(WalRecordView::insert(
        ids[i], std::span<const float>(vectors.data() + i * dim, dim), &metadata[i]));
  }

  std::vector<double> append_times, read_times, append_cpu, read_cpu;
  uint64_t bytes = 0;
  for (int run = 0; run < runs; ++run) {
    WalWriter log(path);
    if (!log.clear().ok()) return 1;
    auto start = std::chrono::steady_clock::now();
    double cpu = cpu_seconds();
    Status appended = append_records(log, batch);
    append_cpu.push_back(cpu_seconds() - cpu);
    append_times.push_back(seconds_since(start));
    if (!appended.ok()) {
      std::fprintf(stderr, "append failed: %s\n", appended.error().message().c_str());
      return 1;
    }
    start = std::chrono::steady_clock::now();
    cpu = cpu_seconds();
    Result<WalContents> contents = read_records(log.path());
    read_cpu.push_back(cpu_seconds() - cpu);
    read_times.push_back(seconds_since(start));
    if (!contents.ok() || contents.value().records.size() != records) return 1;
    bytes = contents.value().file_length;
    (void)log.clear();
  }
  double append_s = median(append_times), read_s = median(read_times);
  std::printf("records=%zu dim=%zu file=%.2f MiB runs=%d\n", records, dim,
              static_cast<double>(bytes) / (1 << 20), runs);
  std::printf("append batch: %.2f ms wall, %.2f ms cpu (%.2f us/record, %.0f MiB/s wall)\n",
              append_s * 1e3, median(append_cpu) * 1e3,
              append_s * 1e6 / static_cast<double>(records),
              static_cast<double>(bytes) / (1 << 20) / append_s);
  std::printf("read_records: %.2f ms wall, %.2f ms cpu (%.2f us/record)\n", read_s * 1e3,
              median(read_cpu) * 1e3, read_s * 1e6 / static_cast<double>(records));
  return 0;
}
