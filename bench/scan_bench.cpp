// Throughput of quarrow::ScanRecords over buffers held in memory, in bytes per
// second: 64 MiB of pseudo-random bytes (few candidates fit) and 64 MiB of
// sample address books (many do), with the window's 29 initial DDL lines (as
// "Find data" runs) and with the 6-line multi-value schema (as the contacts
// recovery's second pass runs). The second argument is the worker count (0: the
// machine's choice).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/buffer.h"
#include "engine/columns.h"
#include "engine/scan.h"
#include "search/find_data.h"

#ifdef QUARROW_BENCH_HAVE_SAMPLE
#include "sample_book.h"
#endif

namespace {

constexpr size_t kInputSize = size_t{64} << 20;

const std::vector<std::string>& MultiValueLines() {
  static const std::vector<std::string> lines = {
      "ABMultiValue (UID INTEGER PRIMARY KEY", "record_id INTEGER", "property INTEGER",
      "identifier INTEGER", "label INTEGER", "value TEXT);"};
  return lines;
}

// Deterministic pseudo-random bytes (splitmix64).
std::string RandomBytes(size_t size) {
  std::string out(size, '\0');
  uint64_t state = 0x5175617272F77ULL;
  for (size_t i = 0; i < size; i += 8) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    for (size_t k = 0; k < 8 && i + k < size; ++k) out[i + k] = static_cast<char>(z >> (8 * k));
  }
  return out;
}

// A 2000-person sample address book, repeated to `size` bytes; empty when the
// sample generator is not built in.
std::string SampleBytes(size_t size) {
#ifdef QUARROW_BENCH_HAVE_SAMPLE
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("quarrow-bench-" + std::to_string(std::random_device{}()) + ".db");
  quarrow::sample::SampleOptions options;
  options.persons = quarrow::sample::kMaxPersons;
  options.layout = quarrow::sample::kLayout34;  // one file, no -wal beside it
  quarrow::sample::MakeSampleBook(path.string(), options);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  in.close();
  std::filesystem::remove(path);
  const std::string one = std::move(bytes).str();
  std::string out;
  out.reserve(size);
  while (out.size() < size) out.append(one, 0, std::min(one.size(), size - out.size()));
  return out;
#else
  (void)size;
  return {};
#endif
}

const quarrow::Buffer& Input(bool sample) {
  static const quarrow::Buffer random = quarrow::Buffer::FromBytes(RandomBytes(kInputSize));
  static const quarrow::Buffer book = quarrow::Buffer::FromBytes(SampleBytes(kInputSize));
  return sample ? book : random;
}

void Scan(benchmark::State& state, bool sample, bool initial_lines) {
  const quarrow::Buffer& buffer = Input(sample);
  if (buffer.size() == 0) {
    state.SkipWithError("built without the sample generator (SQLite3 not found)");
    return;
  }
  quarrow::ColumnList columns = quarrow::LoadColumns(
      initial_lines ? quarrow::InitialDdlLines() : MultiValueLines());
  quarrow::ScanParams params;
  params.rule = quarrow::CandidateRule::kPair;
  params.threshold = quarrow::kLoose;
  params.prefix_count = initial_lines ? 3 : 0;  // as Find data / the multi-value pass
  params.threads = static_cast<int>(state.range(0));
  int64_t matches = 0;
  int64_t text_bytes = 0;
  for (auto _ : state) {
    matches = 0;
    text_bytes = 0;
    quarrow::ScanRecords(buffer, columns, params,
                         [&](const quarrow::Match& match, const quarrow::ColumnList& cols) {
                           ++matches;
                           text_bytes += static_cast<int64_t>(match.prefix.size());
                           for (const quarrow::TERM& c : cols) {
                             text_bytes += static_cast<int64_t>(c.value.size());
                           }
                         });
    benchmark::DoNotOptimize(text_bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * buffer.size());
  state.counters["matches"] = static_cast<double>(matches);
}

void BM_Random29(benchmark::State& state) { Scan(state, false, true); }
void BM_Random6(benchmark::State& state) { Scan(state, false, false); }
void BM_Sample29(benchmark::State& state) { Scan(state, true, true); }
void BM_Sample6(benchmark::State& state) { Scan(state, true, false); }

#define QUARROW_SCAN_BENCHMARK(name) \
  BENCHMARK(name)->ArgName("threads")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()

QUARROW_SCAN_BENCHMARK(BM_Random29);
QUARROW_SCAN_BENCHMARK(BM_Random6);
QUARROW_SCAN_BENCHMARK(BM_Sample29);
QUARROW_SCAN_BENCHMARK(BM_Sample6);

}  // namespace

BENCHMARK_MAIN();
