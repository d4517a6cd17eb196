// codec_bench: decode throughput of the slice reader (read_slice_with on a
// reused reader) on one 2048 x 2048 16-bit slice per strip coding, each next
// to libtiff decoding the same file, and the throughput of map_slice on a
// slice of that size.
//
// Each slice is the first slice of the series that series_bench.sh times
// for that storage (the same generator with make_series' defaults: the
// phantom with its noise), byte for byte; the noise keeps LZW strings short.
//
// The slices are generated once into a scratch directory (in /dev/shm when
// there is one, so the page cache is not what is measured). Before anything
// is timed, each coding is decoded by read_slice and by libtiff and the two
// sample arrays must be equal; the reader ends the process on a fault, so
// this check runs in a child process and a coding that fails it is reported
// as skipped with the reason, while the other codings still run. The mapping
// is checked against the one-sample-at-a-time rule the same way.
//
// Every benchmark reports, in CPU time, bytes_per_second of decoded 16-bit
// samples (8 MiB per slice); read_slice's counter vs_libtiff is its
// throughput divided by libtiff's on the same file in the same run. When
// built with a baseline (SL_BENCH_BASELINE, a commit), the slice reader of
// that commit is timed the same way and checked the same way, and
// vs_baseline is read_slice's throughput divided by the baseline's. Exit
// status 1 when any check failed.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "mapping.h"
#include "read_slice.h"
#include "series_gen.h"
#include "series_range.h"
#ifdef SL_BENCH_BASELINE
#include "baseline_reader.h"
#endif

namespace {

constexpr uint32_t kSide = 2048;
constexpr size_t kSamples = static_cast<size_t>(kSide) * kSide;
constexpr int64_t kDecodedBytes = static_cast<int64_t>(kSamples * sizeof(uint16_t));

struct Coding {
  const char *name;
  int compression;
  int predictor;
};

constexpr Coding kCodings[] = {
    {"none", COMPRESSION_NONE, 1},
    {"lzw", COMPRESSION_LZW, 1},
    {"lzw_predictor", COMPRESSION_LZW, 2},
    {"packbits", COMPRESSION_PACKBITS, 1},
};

SeriesOptions slice_options(const Coding &coding) {
  SeriesOptions options;
  options.count = 1;
  options.width = kSide;
  options.height = kSide;
  options.bits_per_sample = 16;
  options.compression = coding.compression;
  options.predictor = coding.predictor;
  return options;
}

std::string scratch_directory() {
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/codec_bench.XXXXXX" : "/tmp/codec_bench.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    perror("codec_bench: scratch directory");
    exit(1);
  }
  return pattern;
}

// ---- libtiff's decode: every strip into one row-major buffer ----

// False, with libtiff's own message on standard error, when it cannot read
// the file.
bool libtiff_decode(const char *path, uint16_t *samples, size_t capacity) {
  TIFF *tiff = TIFFOpen(path, "r");
  if (tiff == nullptr) return false;
  auto *at = reinterpret_cast<uint8_t *>(samples);
  size_t room = capacity * sizeof(uint16_t);
  bool ok = true;
  for (uint32_t strip = 0; ok && strip < TIFFNumberOfStrips(tiff); ++strip) {
    tmsize_t got = TIFFReadEncodedStrip(tiff, strip, at, static_cast<tmsize_t>(room));
    ok = got >= 0;
    if (ok) at += got, room -= static_cast<size_t>(got);
  }
  TIFFClose(tiff);
  return ok;
}

void free_rows(uint16_t **rows, int height) {
  for (int y = 0; y < height; ++y) free(rows[y]);
  free(rows);
}

// ---- the slice readers timed: the current one and the baseline ----

// One slice reader's faces, with its reader state behind a void pointer.
struct SliceDecoder {
  const char *name;
  int (*read_slice)(const char *file_name, int *width, int *height, int *bits, uint16_t ***image,
                    char **description);
  void *(*create_reader)();
  void (*destroy_reader)(void *reader);
  // read_slice_with for the image alone.
  void (*read_image)(void *reader, const char *file_name, int *height, uint16_t ***image);
};

const SliceDecoder kCurrentReader = {
    "read_slice", read_slice, [] { return static_cast<void *>(create_slice_reader()); },
    [](void *reader) { destroy_slice_reader(static_cast<SliceReader *>(reader)); },
    [](void *reader, const char *file_name, int *height, uint16_t ***image) {
      int width = 0;
      read_slice_with(static_cast<SliceReader *>(reader), file_name, &width, height, nullptr, image, nullptr,
                      nullptr);
    }};

#ifdef SL_BENCH_BASELINE
const SliceDecoder kBaselineReader = {
    "baseline", sl_baseline::read_slice, [] { return static_cast<void *>(sl_baseline::create_slice_reader()); },
    [](void *reader) { sl_baseline::destroy_slice_reader(static_cast<sl_baseline::SliceReader *>(reader)); },
    [](void *reader, const char *file_name, int *height, uint16_t ***image) {
      int width = 0;
      sl_baseline::read_slice_with(static_cast<sl_baseline::SliceReader *>(reader), file_name, &width, height,
                                   nullptr, image, nullptr, nullptr);
    }};
const SliceDecoder *const kDecoders[] = {&kBaselineReader, &kCurrentReader};
#else
const SliceDecoder *const kDecoders[] = {&kCurrentReader};
#endif

// ---- checks before timing ----

// Runs in the child: the reader and libtiff must give the same samples.
// Exit 0 when they do, 2 with the first difference on standard error when
// they do not; a reader fault exits 1 with the reader's own line.
[[noreturn]] void compare_decoders(const SliceDecoder &decoder, const char *path) {
  int width = 0, height = 0, bits = 0;
  uint16_t **rows = nullptr;
  if (decoder.read_slice(path, &width, &height, &bits, &rows, nullptr) != 0) {
    fprintf(stderr, "%s : %s cannot open it\n", path, decoder.name);
    _exit(2);
  }
  if (width != static_cast<int>(kSide) || height != static_cast<int>(kSide) || bits != 16) {
    fprintf(stderr, "%s : %s gives %dx%d at %d bits\n", path, decoder.name, width, height, bits);
    _exit(2);
  }
  std::vector<uint16_t> expected(kSamples);
  if (!libtiff_decode(path, expected.data(), expected.size())) _exit(2);
  for (uint32_t y = 0; y < kSide; ++y) {
    for (uint32_t x = 0; x < kSide; ++x) {
      if (rows[y][x] != expected[y * kSide + x]) {
        fprintf(stderr, "%s : row %u column %u: %s %u, libtiff %u\n", path, y, x, decoder.name, rows[y][x],
                expected[y * kSide + x]);
        _exit(2);
      }
    }
  }
  free_rows(rows, height);
  _exit(0);
}

// Empty when the decoders agree, else why this coding is not timed.
std::string check_decoders(const SliceDecoder &decoder, const std::string &path) {
  fflush(nullptr);
  pid_t child = fork();
  if (child < 0) return "cannot fork for the check";
  if (child == 0) compare_decoders(decoder, path.c_str());
  int status = 0;
  waitpid(child, &status, 0);
  const std::string name = decoder.name;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  if (WIFEXITED(status) && WEXITSTATUS(status) == 1) return name + " refused the slice (message above)";
  if (WIFEXITED(status)) return name + " differs from libtiff (first difference above)";
  return name + " crashed with signal " + std::to_string(WTERMSIG(status));
}

// The one-at-a-time rule: t = (v / scale + offset - base) * div, truncated
// toward zero; a NaN t or one outside the signed 32-bit range counts as
// -2^31; then clamped to 0..max_code.
int32_t expected_code(uint16_t v, double scale, float offset, const SeriesScaling &scaling) {
  double t = (v / scale + (static_cast<double>(offset) - scaling.base)) * scaling.div;
  int64_t n = t >= -2147483648.0 && t < 2147483648.0 ? static_cast<int64_t>(t) : INT32_MIN;
  if (n < 0) return 0;
  return n >= scaling.max_code ? scaling.max_code : static_cast<int32_t>(n);
}

// ---- what map_slice is timed on: the phantom slice as row pointers ----

struct MappingInput {
  std::vector<uint16_t> samples;
  std::vector<const uint16_t *> rows;
  double scale;
  float offset;
};

MappingInput mapping_input() {
  SeriesOptions options = slice_options(kCodings[0]);
  MappingInput input;
  input.samples = phantom_samples(options, 0);
  for (uint32_t y = 0; y < kSide; ++y) input.rows.push_back(input.samples.data() + y * kSide);
  input.scale = slice_scale(options, 0);
  input.offset = static_cast<float>(slice_offset(options, 0));
  return input;
}

SeriesScaling series_scaling_for(const MappingInput &input, int bit) {
  SeriesRange range;
  extend_series_range(&range, input.scale, input.offset);
  return compute_series_scaling(range, bit);
}

std::string check_mapping(const MappingInput &input, const SeriesScaling &scaling) {
  uint16_t *codes16 = nullptr;
  uint8_t *codes8 = nullptr;
  if (!map_slice(input.rows.data(), kSide, kSide, input.scale, input.offset, scaling, &codes16, &codes8)) {
    return "map_slice cannot allocate";
  }
  std::string fault;
  for (size_t i = 0; i < kSamples && fault.empty(); ++i) {
    int32_t code = expected_code(input.samples[i], input.scale, input.offset, scaling);
    if (codes16[i] != code || codes8[i] != (code & 0xFF)) {
      fault = "sample " + std::to_string(i) + " (" + std::to_string(input.samples[i]) + "): map_slice " +
              std::to_string(codes16[i]) + "/" + std::to_string(codes8[i]) + ", expected " + std::to_string(code);
    }
  }
  free(codes16);
  free(codes8);
  return fault;
}

// ---- the benchmarks ----

// Bytes per second that each libtiff and baseline benchmark last measured,
// by coding, for the counters of the read_slice benchmark registered after
// them.
std::map<std::string, double> libtiff_rate;
std::map<std::string, double> baseline_rate;

// CPU time of this thread, the clock the benchmarks are reported in.
double thread_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void time_libtiff(benchmark::State &state, const std::string &coding, const std::string &path) {
  std::vector<uint16_t> samples(kSamples);
  const double start = thread_seconds();
  for (auto _ : state) {
    if (!libtiff_decode(path.c_str(), samples.data(), samples.size())) {
      state.SkipWithError("libtiff cannot read the slice");
      break;
    }
    benchmark::DoNotOptimize(samples.data());
  }
  libtiff_rate[coding] = static_cast<double>(state.iterations()) * kDecodedBytes / (thread_seconds() - start);
  state.SetBytesProcessed(state.iterations() * kDecodedBytes);
}

// Timed through read_slice_with on one reader reused from read to read, as
// each of the driver's decoding threads reads its slices; the checked slice
// is never refused.
void time_read_slice(benchmark::State &state, const SliceDecoder &decoder, const std::string &coding,
                     const std::string &path) {
  void *reader = decoder.create_reader();
  if (reader == nullptr) {
    state.SkipWithError("cannot allocate a slice reader");
    return;
  }
  const double start = thread_seconds();
  for (auto _ : state) {
    int height = 0;
    uint16_t **rows = nullptr;
    decoder.read_image(reader, path.c_str(), &height, &rows);
    benchmark::DoNotOptimize(rows);
    free_rows(rows, height);
  }
  decoder.destroy_reader(reader);
  double rate = static_cast<double>(state.iterations()) * kDecodedBytes / (thread_seconds() - start);
  if (&decoder != &kCurrentReader) {
    baseline_rate[coding] = rate;
  } else {
    if (libtiff_rate.count(coding) != 0) state.counters["vs_libtiff"] = rate / libtiff_rate[coding];
    if (baseline_rate.count(coding) != 0) state.counters["vs_baseline"] = rate / baseline_rate[coding];
  }
  state.SetBytesProcessed(state.iterations() * kDecodedBytes);
}

void time_map_slice(benchmark::State &state, const MappingInput &input, SeriesScaling scaling) {
  for (auto _ : state) {
    uint16_t *codes16 = nullptr;
    uint8_t *codes8 = nullptr;
    map_slice(input.rows.data(), kSide, kSide, input.scale, input.offset, scaling, &codes16, &codes8);
    benchmark::DoNotOptimize(codes16);
    benchmark::DoNotOptimize(codes8);
    free(codes16);
    free(codes8);
  }
  state.SetBytesProcessed(state.iterations() * kDecodedBytes);
}

// A benchmark that only reports why it was not run.
void register_refusal(const std::string &name, const std::string &reason) {
  benchmark::RegisterBenchmark(name.c_str(), [reason](benchmark::State &state) {
    state.SkipWithError(reason.c_str());
    for (auto _ : state) {
    }
  });
}

// Reported in CPU time: the work is all in memory, and on a shared machine
// wall time mostly measures the neighbours.
void register_timed(benchmark::internal::Benchmark *benchmark) { benchmark->Unit(benchmark::kMillisecond); }

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const std::string directory = scratch_directory();
  std::vector<std::string> paths;
  bool all_checked = true;
  for (const Coding &coding : kCodings) {
    const std::string path = directory + "/" + coding.name + ".tif";
    const std::string prefix = std::string("decode/") + coding.name;
    std::string error;
    if (!write_slice_file(path, slice_options(coding), 0, &error)) {
      register_refusal(prefix, "cannot generate the slice: " + error);
      all_checked = false;
      continue;
    }
    paths.push_back(path);
    register_timed(benchmark::RegisterBenchmark((prefix + "/libtiff").c_str(), time_libtiff, coding.name, path));
    for (const SliceDecoder *decoder : kDecoders) {
      const std::string name = prefix + "/" + decoder->name;
      std::string fault = check_decoders(*decoder, path);
      fprintf(stderr, "check %-14s %s == libtiff: %s\n", coding.name, decoder->name,
              fault.empty() ? "yes" : fault.c_str());
      if (fault.empty()) {
        register_timed(benchmark::RegisterBenchmark(name.c_str(), time_read_slice, std::cref(*decoder), coding.name,
                                                     path));
      } else {
        register_refusal(name, fault);
        all_checked = false;
      }
    }
  }

  const MappingInput input = mapping_input();
  for (int bit : {8, 16}) {
    const SeriesScaling scaling = series_scaling_for(input, bit);
    const std::string name = "map_slice/" + std::to_string(bit) + "bit";
    std::string fault = check_mapping(input, scaling);
    fprintf(stderr, "check %-14s map_slice == one-at-a-time rule: %s\n", name.c_str(),
            fault.empty() ? "yes" : fault.c_str());
    if (fault.empty()) {
      register_timed(benchmark::RegisterBenchmark(name.c_str(), time_map_slice, std::cref(input), scaling));
    } else {
      register_refusal(name, fault);
      all_checked = false;
    }
  }

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const std::string &path : paths) unlink(path.c_str());
  rmdir(directory.c_str());
  return all_checked ? 0 : 1;
}
