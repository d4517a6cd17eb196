// A file that declares a slice far larger than its data costs memory only
// for what it holds, and a slice larger than the memory allowed is refused
// with one line instead of exhausting the machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cgroup_limits.h"
#include "decode_ahead.h"
#include "memory_limit.h"
#include "read_slice.h"
#include "reader_failure.h"
#include "run_tool.h"
#include "second_pass.h"
#include "tiff_builder.h"

namespace {

// "" after a complete read, else the reader's message.
std::string read_in_full(const TiffFile &file, const std::string &name) {
  std::string path = write_scratch_file(file, name);
  int width = 0, height = 0;
  uint16_t **rows = nullptr;
  try {
    read_slice(path.c_str(), &width, &height, nullptr, &rows, nullptr);
  } catch (const ReaderFailure &failure) {
    return failure.message;
  }
  for (int y = 0; y < height; ++y) free(rows[y]);
  free(rows);
  return "";
}

TiffFile declared(uint32_t width, uint32_t height, int bits, int compression, std::vector<uint8_t> strip) {
  TiffFile file = basic_slice(1, 1, bits, true, strip);
  set_entry(file, long_entry(kTagImageWidth, {width}));
  set_entry(file, long_entry(kTagImageLength, {height}));
  set_entry(file, short_entry(kTagCompression, {static_cast<uint32_t>(compression)}));
  remove_entry(file, kTagRowsPerStrip);  // one strip
  return file;
}

struct BoundCase {
  const char *name;
  TiffFile file;
  uint64_t limit;  // 0: the machine's memory
  std::string message;
};

TEST(MemoryBound, HugeDeclaredSlicesAreRefusedCheaply) {
  BoundCase cases[] = {
      // Rows are allocated as their data arrive: the strip ends after 100 bytes.
      {"short_uncompressed_strip", declared(46340, 46340, 8, 1, std::vector<uint8_t>(100, 7)), 0,
       "unexpected end of file."},
      // 0-bit rows take no bytes: the broken strip is found before any row is filled.
      {"zero_bits_broken_lzw_strip", declared(11266, 65534, 0, 5, {0x80, 0x00, 0x00}), 0,
       "LZW missing end of codes."},
      {"zero_bits_complete_but_too_large", declared(1, 2147483647, 0, 1, {}), uint64_t{1} << 30,
       "cell memory allocation error."},
      {"just_over_the_limit", declared(64, 64, 0, 1, {}), slice_image_bytes(64, 64) - 1,
       "cell memory allocation error."},
      {"at_the_limit", declared(64, 64, 0, 1, {}), slice_image_bytes(64, 64), ""},
  };
  // The strip claims all of its rows' bytes; the file holds 100 of them.
  set_entry(cases[0].file, long_entry(kTagStripByteCounts, {46340u * 46340u}));
  for (const BoundCase &c : cases) {
    reader_memory_limit = c.limit;
    EXPECT_EQ(read_in_full(c.file, c.name), c.message) << c.name;
  }
  reader_memory_limit = 0;
}

}  // namespace

// The limits of a job, read from file trees laid out as /proc/self/cgroup,
// /proc/self/mountinfo and the control group file systems show them, and
// the decoding ahead that follows on a 64-CPU machine of 24 GiB for a
// series of 2048 x 2048 slices.
namespace {

const std::string kVersion2Mount = "30 23 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
const std::string kVersion1Mounts =
    "31 23 0:28 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
    "32 23 0:29 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";

struct LimitCase {
  const char *name;
  std::vector<std::pair<std::string, std::string>> files;  // content "/" makes a directory
  uint64_t memory;     // 0: no limit
  unsigned cpus;       // of 64
  int workers;         // slices in flight: one more
};

TEST(MemoryBound, JobLimitsSetTheFiguresAndTheSlicesInFlight) {
  const uint64_t mib = uint64_t{1} << 20;
  const LimitCase cases[] = {
      {"version2_memory_and_quota",
       {{"proc/self/cgroup", "0::/batch/job\n"}, {"proc/self/mountinfo", kVersion2Mount},
        {"sys/fs/cgroup/batch/job/memory.max", "268435456\n"}, {"sys/fs/cgroup/batch/job/cpu.max", "150000 100000\n"}},
       256 * mib, 2, 2},
      {"version2_parent_sets_the_least",
       {{"proc/self/cgroup", "0::/batch/job\n"}, {"proc/self/mountinfo", kVersion2Mount},
        {"sys/fs/cgroup/batch/memory.max", "104857600\n"}, {"sys/fs/cgroup/batch/job/memory.max", "max\n"},
        {"sys/fs/cgroup/batch/cpu.max", "max 100000\n"}, {"sys/fs/cgroup/batch/job/cpu.max", "50000 100000\n"}},
       100 * mib, 1, 0},
      {"version2_max_everywhere",
       {{"proc/self/cgroup", "0::/job\n"}, {"proc/self/mountinfo", kVersion2Mount},
        {"sys/fs/cgroup/job/memory.max", "max\n"}, {"sys/fs/cgroup/job/cpu.max", "max 100000\n"}},
       0, 64, 64},
      {"version1_unlimited_group_below_a_limited_one",
       {{"proc/self/cgroup", "5:cpu,cpuacct:/batch/job\n4:memory:/batch/job\n0::/\n"},
        {"proc/self/mountinfo", kVersion1Mounts},
        {"sys/fs/cgroup/memory/batch/job/memory.limit_in_bytes", "9223372036854771712\n"},
        {"sys/fs/cgroup/memory/batch/memory.limit_in_bytes", "1073741824\n"},
        {"sys/fs/cgroup/cpu,cpuacct/batch/job/cpu.cfs_quota_us", "300000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/batch/job/cpu.cfs_period_us", "100000\n"}},
       1024 * mib, 3, 3},
      // The largest signed value less a page is version 1's "no limit".
      {"version1_unlimited_group_alone",
       {{"proc/self/cgroup", "4:memory:/job\n"}, {"proc/self/mountinfo", kVersion1Mounts},
        {"sys/fs/cgroup/memory/job/memory.limit_in_bytes", "9223372036854771712\n"}},
       0, 64, 64},
      {"version1_quota_of_the_parent_below_the_groups",
       {{"proc/self/cgroup", "5:cpu,cpuacct:/batch/job\n"}, {"proc/self/mountinfo", kVersion1Mounts},
        {"sys/fs/cgroup/cpu,cpuacct/batch/job/cpu.cfs_quota_us", "300000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/batch/job/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/batch/cpu.cfs_period_us", "100000\n"}},
       0, 1, 0},
      // Of several mounts of the hierarchy, the one that shows the most of
      // the tree above the group: not another group's part, nor a part
      // that hides the parent's limit.
      {"version2_mounted_three_times",
       {{"proc/self/cgroup", "0::/lab/batch/job\n"},
        {"proc/self/mountinfo", "40 23 0:26 /other /srv/other rw - cgroup2 cgroup2 rw\n"
                                "41 23 0:26 /lab/batch /srv/batch rw - cgroup2 cgroup2 rw\n" + kVersion2Mount},
        {"srv/other/memory.max", "52428800\n"}, {"srv/batch/job/memory.max", "max\n"},
        {"sys/fs/cgroup/lab/memory.max", "104857600\n"}},
       100 * mib, 64, 3},
      {"version1_no_quota",
       {{"proc/self/cgroup", "5:cpu,cpuacct:/job\n"}, {"proc/self/mountinfo", kVersion1Mounts},
        {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n"},
        {"sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
       0, 64, 64},
      // A container's own view: its group is the root of what is mounted.
      {"version1_container_view",
       {{"proc/self/cgroup", "4:memory:/docker/c0ffee\n"},
        {"proc/self/mountinfo", "40 23 0:28 /docker/c0ffee /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"},
        {"sys/fs/cgroup/memory/memory.limit_in_bytes", "67108864\n"}},
       64 * mib, 64, 1},
      {"version2_mount_point_with_a_blank",
       {{"proc/self/cgroup", "0::/job\n"},
        {"proc/self/mountinfo", "30 23 0:26 / /cg\\040root rw - cgroup2 cgroup2 rw\n"},
        {"cg root/job/memory.max", "52428800\n"}},
       50 * mib, 64, 1},
      {"unreadable_limits",
       {{"proc/self/cgroup", "0::/job\n"}, {"proc/self/mountinfo", kVersion2Mount},
        {"sys/fs/cgroup/job/memory.max", "/"}, {"sys/fs/cgroup/job/cpu.max", "/"}},
       0, 64, 64},
      {"garbage",
       {{"proc/self/cgroup", "0::/job\n"}, {"proc/self/mountinfo", kVersion2Mount},
        {"sys/fs/cgroup/job/memory.max", "12abc\n"}, {"sys/fs/cgroup/job/cpu.max", "fast\n"}},
       0, 64, 64},
      {"garbled_process_files",
       {{"proc/self/cgroup", "nonsense\n::\n"}, {"proc/self/mountinfo", "1 2 3\n"}}, 0, 64, 64},
      {"no_process_files", {}, 0, 64, 64},
  };
  const uint64_t physical = uint64_t{24} << 30;
  RunParameters eight_bits{};
  eight_bits.bit = 8;
  const uint64_t slice_bytes = slice_in_flight_bytes(eight_bits, 2048, 2048, 64, 8);
  for (const LimitCase &c : cases) {
    ScratchDirectory root;
    for (const auto &[path, content] : c.files) {
      std::filesystem::path file = root.path + "/" + path;
      if (content == "/") {
        std::filesystem::create_directories(file);
      } else {
        std::filesystem::create_directories(file.parent_path());
        write_file(file.string(), content);
      }
    }
    CgroupLimits limits = read_cgroup_limits(root.path.c_str());
    EXPECT_EQ(limits.memory_bytes, c.memory) << c.name;
    unsigned cpus = cpus_within_quota(64, limits.cpus);
    EXPECT_EQ(cpus, c.cpus) << c.name;
    uint64_t memory = limits.memory_bytes != 0 && limits.memory_bytes < physical ? limits.memory_bytes : physical;
    EXPECT_EQ(decode_workers(cpus, memory, slice_bytes, 100), c.workers) << c.name;
  }
  // Small slices are started further ahead, within some tens of MiB and within
  // what half the memory holds beside the workers.
  const struct {
    uint64_t memory, slice_bytes;
    int window;
  } windows[] = {{physical, slice_bytes, 7},
                 {physical, 200 << 10, 16},
                 {physical, 4 * mib, 8},
                 {50 * mib, mib, 4},
                 {physical, 64 * mib, 2}};
  for (const auto &w : windows) {
    const int workers = decode_workers(2, w.memory, w.slice_bytes, 100);
    EXPECT_EQ(decode_window(workers, w.memory, w.slice_bytes), w.window) << w.memory << " " << w.slice_bytes;
  }
  // What the process maps, for RLIMIT_AS and RLIMIT_DATA.
  ScratchDirectory proc;
  std::filesystem::create_directories(proc.path + "/proc/self");
  write_file(proc.path + "/proc/self/status", "Name:\tsl_depth\nVmPeak:\t 9 kB\nVmSize:\t   19392 kB\nVmData:\t10284 kB\n");
  MappedMemory mapped = read_mapped_memory(proc.path.c_str());
  EXPECT_EQ(mapped.address_space, uint64_t{19392} << 10);
  EXPECT_EQ(mapped.data, uint64_t{10284} << 10);
}

// Whatever the workers and the window, every slice is decoded once and
// handed over in turn, and stopping half way leaves none decoded twice.
TEST(MemoryBound, EverySliceIsHandedOverOnceInTurn) {
  for (int count = 1; count <= 40; count += 3) {
    for (int workers = 1; workers <= 3; ++workers) {
      for (int window = workers; window <= 4 * workers; window += workers) {
        std::vector<int> decoded(static_cast<size_t>(count));
        auto decode = [](SliceReader *, OutputWriter *, int index, void *context) {
          ++(*static_cast<std::vector<int> *>(context))[static_cast<size_t>(index)];
        };
        const int taken = count > 4 ? count / 2 : count;
        DecodeAhead *ahead = start_decode_ahead(count, workers, window, decode, &decoded);
        ASSERT_NE(ahead, nullptr);
        for (int index = 0; index < taken; ++index) {
          wait_decoded(ahead, index);
          EXPECT_EQ(decoded[static_cast<size_t>(index)], 1) << count << " " << workers << " " << window;
        }
        stop_decode_ahead(ahead);
        for (int times : decoded) EXPECT_LE(times, 1) << count << " " << workers << " " << window;
      }
    }
  }
}

}  // namespace
