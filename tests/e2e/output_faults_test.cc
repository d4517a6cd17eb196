// Faults met in the second pass and while writing: the run stops with one
// line and status 1, every lower-numbered output stays complete on disk, and
// no incomplete output file is left behind.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "output_check.h"
#include "run_tool.h"
#include "series_fixture.h"
#include "tiff_builder.h"

namespace {

// Slices 0 and 1 of a small valid series.
void write_good_slices(const ScratchDirectory &dir) {
  SeriesOptions options;
  options.width = 16;
  options.height = 8;
  write_test_series(dir.path, {{0, 64, 0}, {1, 64, 0}}, options);
}

std::vector<uint8_t> ramp(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  return bytes;
}

struct StripFaultCase {
  const char *name;
  TiffFile file;
  std::string message;
};

std::vector<StripFaultCase> strip_fault_cases() {
  std::vector<StripFaultCase> cases;
  TiffFile one_more = basic_slice(5, 2, 8, true, ramp(11));
  cases.push_back({"one_byte_more", one_more, "too many codes."});
  TiffFile one_fewer = basic_slice(5, 2, 8, false, ramp(9));
  cases.push_back({"one_byte_fewer", one_fewer, "too few codes."});
  TiffFile no_offsets = basic_slice(5, 2, 8, true, ramp(10));
  remove_entry(no_offsets, kTagStripOffsets);
  cases.push_back({"no_strip_offsets", no_offsets, "strip offset not found."});
  TiffFile two_counts = basic_slice(5, 2, 8, true, ramp(10));
  set_entry(two_counts, long_entry(kTagStripByteCounts, {5, 5}));
  cases.push_back({"two_byte_counts_for_one_strip", two_counts, "bad number of strip bytes count."});
  return cases;
}

// A slice whose strips fail only in the second pass: the outputs of the
// lower numbers are complete, the failing slice's output is never created.
TEST(SecondPassFaults, LeaveLowerOutputsCompleteAndNoneForTheFailingSlice) {
  for (const StripFaultCase &c : strip_fault_cases()) {
    ScratchDirectory dir;
    write_good_slices(dir);
    write_file(c.file, dir.file("rec0002.tif"));
    ToolResult result = run_sl_depth({"8"}, dir.path);
    EXPECT_EQ(result.status, 1) << c.name;
    std::string tail = "rec0002.tif : " + c.message + "\n";
    ASSERT_GE(result.err.size(), tail.size()) << c.name;
    EXPECT_EQ(result.err.substr(result.err.size() - tail.size()), tail) << c.name;
    EXPECT_EQ(list_files(dir.path), (std::vector<std::string>{"rec0000.tif", "rec0001.tif", "rec0002.tif",
                                                              "ro0000.tif", "ro0001.tif"}))
        << c.name;
    for (const char *name : {"ro0000.tif", "ro0001.tif"}) {
      OutputSlice out = read_output_slice(dir.file(name));
      EXPECT_EQ(out.codes.size(), 16u * 8u) << c.name << " " << name;
      EXPECT_TRUE(out.strips_are_rows) << c.name << " " << name;
    }
  }
}

TEST(SecondPassFaults, StripDataCutByTheEndOfTheFile) {
  ScratchDirectory dir;
  write_good_slices(dir);
  TiffFile file = basic_slice(5, 2, 8, true, ramp(10));
  // The strip lies after the directory; its last bytes are missing.
  file.truncate_at = tiff_layout(file).strip_offsets[0] + 6;
  write_file(file, dir.file("rec0002.tif"));
  ToolResult result = run_sl_depth({"16"}, dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("rec0002.tif : unexpected end of file.\n"), std::string::npos) << result.err;
  EXPECT_EQ(access(dir.file("rh0002.tif").c_str(), F_OK), -1);
}

// Slices decoded ahead on several threads change nothing a user sees: a run
// on every CPU and one confined to one CPU print the same bytes, end with
// the same status and leave the same files, also when a slice fails in the
// second pass, when an input and an output are one file, and inside memory
// limits, where every run on every CPU must end as the one on one CPU.
// Slices 0 to 11 are 32 x 32 LZW slices, or 0 to 15 are 2048 x 2048.
struct ThreadedRunCase {
  const char *name;
  int status;
  int broken = -1;            // the slice whose strip data is broken
  std::string prepare = "";   // shell commands run in each directory first
  std::string limits = "";    // shell commands that confine both runs
  bool large = false;
  bool huge_field = false;    // slice 0's scale has 100 million digits
  std::string check = "";     // shell test that must hold in both directories afterwards
  int disk_kib = 0;           // each directory a file system of this size, which fills up
  const char *line4 = nullptr;  // slice 4's calibration line, when not the generator's
};

// A small file system mounted on a directory for as long as it lives;
// `mounted` is false where mounting is not allowed.
struct SmallDisk {
  std::string path;
  bool mounted = false;
  SmallDisk(const std::string &directory, int kib) : path(directory) {
    std::string command = "mount -t tmpfs -o size=" + std::to_string(kib) + "k tmpfs '" + path + "' 2>/dev/null";
    mounted = kib > 0 && run_program("/bin/sh", {"-c", command}, "/").status == 0;
  }
  ~SmallDisk() {
    if (mounted) run_program("/bin/sh", {"-c", "umount '" + path + "'"}, "/");
  }
};

TEST(ThreadedRuns, PrintAndWriteWhatTheOneCpuRunDoes) {
  // Older outputs at or above a failing slice keep their bytes and their
  // inode (the hard link "kept" shares it), and an output name that is a
  // symbolic link is written through it.
  const std::string keep = "printf old > ro0000.tif && printf old > ro0003.tif && printf old > ro0005.tif && "
                           "printf old > ro0009.tif && printf old > ro0011.tif && ln ro0009.tif kept";
  const std::string kept = "test \"$(cat ro0009.tif)\" = old && test ro0009.tif -ef kept";
  const ThreadedRunCase cases[] = {
      {"first_slice_broken", 1, 0},
      {"middle_slice_broken", 1, 5},
      {"last_slice_broken", 1, 11},
      {"first_slice_broken_older_outputs_kept", 1, 0, keep, "", false, false,
       kept + " && test \"$(cat ro0000.tif ro0003.tif)\" = oldold"},
      {"middle_slice_broken_older_outputs_kept", 1, 5, keep, "", false, false,
       kept + " && test \"$(cat ro0005.tif)\" = old && test -s ro0003.tif -a \"$(cat ro0003.tif)\" != old"},
      {"last_slice_broken_older_output_kept", 1, 11, keep, "", false, false,
       "test \"$(cat ro0011.tif)\" = old && test \"$(cat ro0009.tif)\" != old && test ro0009.tif -ef kept"},
      {"middle_output_unwritable", 1, -1, "mkdir ro0006.tif"},
      // Outputs written ahead take room that a run on one CPU does not.
      {"disk_full_in_the_middle", 1, -1, "", "", false, false, "", 88},
      {"output_name_is_a_symbolic_link", 0, -1, "mkdir kept && printf old > kept/4 && ln -s kept/4 ro0004.tif",
       "", false, false, "test -L ro0004.tif && cmp -s ro0004.tif kept/4 && test \"$(head -c 2 kept/4)\" = II"},
      {"none_fails", 0},
      // Each input is read after every earlier output is complete.
      {"input_is_a_symbolic_link_to_an_older_output", 0, -1,
       "cp rec0007.tif ro0000.tif && rm rec0001.tif && ln -s ro0000.tif rec0001.tif"},
      {"input_is_a_hard_link_of_an_older_output", 0, -1,
       "cp rec0007.tif ro0000.tif && rm rec0001.tif && ln ro0000.tif rec0001.tif"},
      {"input_link_completed_by_an_output", 0, -1, "rm rec0001.tif && ln -s ro0000.tif rec0001.tif"},
      // No worker fits beside the main thread's slice; one; two, then
      // with room to spare.
      {"address_space_40MB", 0, -1, "", "ulimit -v 39062;", true},
      {"address_space_60MB", 0, -1, "", "ulimit -v 58594;", true},
      {"address_space_100MB", 0, -1, "", "ulimit -v 97656;", true},
      {"address_space_124MB", 0, -1, "", "ulimit -v 121093;", true},
      // Not one slice fits. The address space a build maps as it starts
      // (a dozen shared libraries, or none when statically linked) differs
      // by more than a slice needs, the data a build maps by little.
      {"data_limit_too_small_for_one_slice", 1, -1, "", "ulimit -d 6000;", true},
      {"hundred_million_digit_field", 0, -1, "", "ulimit -v 200000;", false, true},
      // Outputs written ahead hold descriptors until their turn; a worker
      // that finds none left for its input leaves the slice to its turn.
      {"open_file_limit_4", 0, -1, "", "ulimit -n 4;"},
      {"open_file_limit_5_older_outputs", 0, -1, "printf old > ro0003.tif && printf old > ro0008.tif", "ulimit -n 5;",
       false, false, "test -s ro0003.tif -a \"$(cat ro0008.tif)\" != old"},
      // 1024 bytes, below every output: the first fails, and the older
      // output of its name is removed as after a full disk.
      {"file_size_limit_below_an_output", 1, -1, "printf old > ro0000.tif", "ulimit -f 2;", false, false,
       "test ! -e ro0000.tif"},
      // A line of four fields takes fields 5 to 8 from the slices before it.
      {"four_fields_after_eight", 0, -1, "", "", false, false, "", 0, "7\t0.5\t70.0\t0.05"},
      // The name of an output written ahead comes to exist before its turn.
      {"name_taken_before_its_turn", 0, -1, "",
       "export LD_PRELOAD=" NAME_CLASH_PRELOAD " SL_TEST_TAKEN_NAME=ro0003.tif;", false, false,
       "test \"$(head -c 2 ro0003.tif)\" = II"},
  };
  ScratchDirectory large_series;
  bool large_written = false;
  for (const ThreadedRunCase &c : cases) {
#ifdef SL_SANITIZED_TOOL
    // A sanitizer reserves far more address space than any of these limits.
    if (!c.limits.empty()) continue;
#endif
    // So does an emulator of another architecture, whose mappings count as
    // the tool's.
    if (!c.limits.empty() && tool_is_emulated()) continue;
    SeriesOptions options;
    options.compression = 5;
    std::vector<TestSlice> slices;
    for (int number = 0; number < (c.large ? 16 : 12); ++number) slices.push_back({number, 64.0 + number, 0.01 * number});
    if (c.large && !large_written) {
      options.width = options.height = 2048;
      write_test_series(large_series.path, slices, options);
      large_written = true;
    }
    options.width = options.height = 32;
    ScratchDirectory all_cpus, single_cpu;
    SmallDisk all_cpus_disk(all_cpus.path, c.disk_kib), single_cpu_disk(single_cpu.path, c.disk_kib);
    if (c.disk_kib > 0 && !(all_cpus_disk.mounted && single_cpu_disk.mounted)) continue;  // not allowed here
    for (const ScratchDirectory *dir : {&all_cpus, &single_cpu}) {
      if (c.large) {
        for (const std::string &name : list_files(large_series.path)) {
          ASSERT_EQ(link(large_series.file(name).c_str(), dir->file(name).c_str()), 0);
        }
      } else {
        write_test_series(dir->path, slices, options);
      }
      char name[32];
      snprintf(name, sizeof name, "rec%04d.tif", c.broken);
      if (c.broken >= 0) write_file(basic_slice(5, 2, 8, true, ramp(11)), dir->file(name));
      if (c.line4 != nullptr) {
        SeriesOptions described = options;
        described.description_mode = DescriptionMode::fixed_text;
        described.description_text = c.line4;
        write_test_slice(dir->path, "rec0004.tif", described);
      }
      if (c.huge_field) {
        SeriesOptions described = options;
        described.description_mode = DescriptionMode::fixed_text;
        described.description_text = "1\t0.012\t" + std::string(100000000, '4') + "\t-2.5\t0\t512\t0.5\t180.0";
        write_test_slice(dir->path, "rec0000.tif", described);
      }
      ASSERT_EQ(run_program("/bin/sh", {"-c", c.prepare}, dir->path).status, 0) << c.name;
    }
    ToolResult single = run_sl_depth({"8"}, single_cpu.path, c.limits + "exec taskset -c 0 \"$0\" \"$@\";");
    EXPECT_EQ(single.status, c.status) << c.name << ": " << single.err;
    std::vector<std::string> files = list_files(single_cpu.path);
    for (int run = 0; run < (c.limits.empty() ? 1 : 3); ++run) {
      for (const std::string &name : list_files(all_cpus.path)) {
        if (name.compare(0, 2, "ro") == 0 && run > 0) unlink(all_cpus.file(name).c_str());
      }
      if (run > 0) {
        ASSERT_EQ(run_program("/bin/sh", {"-c", c.prepare}, all_cpus.path).status, 0) << c.name;
      }
      ToolResult threaded = run_sl_depth({"8"}, all_cpus.path, c.limits);
      for (const ScratchDirectory *dir : {&all_cpus, &single_cpu}) {
        EXPECT_EQ(run_program("/bin/sh", {"-c", c.check}, dir->path).status, 0) << c.name << " " << run;
      }
      EXPECT_EQ(threaded.status, single.status) << c.name << " " << run;
      EXPECT_EQ(threaded.out, single.out) << c.name << " " << run;
      EXPECT_EQ(threaded.err, single.err) << c.name << " " << run;
      ASSERT_EQ(list_files(all_cpus.path), files) << c.name << " " << run;
      for (const std::string &name : files) {
        EXPECT_TRUE(read_file(all_cpus.file(name)) == read_file(single_cpu.file(name))) << c.name << " " << name;
        // No output at or above a broken slice, but an older one.
        if (name[1] == 'o' && c.broken >= 0 && c.prepare.empty()) {
          EXPECT_LT(atoi(name.c_str() + 2), c.broken) << c.name;
        }
      }
    }
  }
}

// Zero bits per sample read as all-zero samples and consume no strip bytes.
TEST(Conversion, ZeroBitSlicesMapEverySampleAlike) {
  ScratchDirectory dir;
  TiffFile file = basic_slice(3, 2, 0, true, {});
  write_file(file, dir.file("rec0000.tif"));
  ToolResult result = run_sl_depth({"16"}, dir.path);
  ASSERT_EQ(result.status, 0) << result.err;
  OutputSlice out = read_output_slice(dir.file("rh0000.tif"));
  ExpectedScaling scaling = expected_scaling({{1000.0, -1.0}}, 16);
  int code = expected_code(0, {1000.0, -1.0}, scaling);
  EXPECT_EQ(out.codes, std::vector<uint16_t>(6, static_cast<uint16_t>(code)));
}

struct WriteFaultCase {
  const char *name;
  std::string prepare;       // shell commands run in the directory before the tool
  std::string shell_prefix;  // limits for the tool's own shell
  std::string message;
  std::vector<std::string> outputs_left;  // besides the inputs
};

TEST(WriteFaults, FailedOutputsAreReportedAndNeverLeftIncomplete) {
  const WriteFaultCase cases[] = {
      // 4 blocks of 512 bytes: the header fits, the rows do not.
      {"file_size_limit", "", "ulimit -f 4;",
       "ro0000.tif : File too large\nro0000.tif : cannot write output file.\n", {}},
      // The header cannot be written: nothing is created.
      {"full_device", "ln -s /dev/full ro0001.tif", "", "ro0001.tif : cannot create output file.\n",
       {"ro0000.tif", "ro0001.tif"}},
      // A directory of that name is left alone.
      {"name_is_a_directory", "mkdir ro0001.tif", "", "ro0001.tif : cannot create output file.\n",
       {"ro0000.tif", "ro0001.tif"}},
  };
  for (const WriteFaultCase &c : cases) {
    ScratchDirectory dir;
    SeriesOptions options;
    options.width = 64;
    options.height = 64;
    write_test_series(dir.path, {{0, 64, 0}, {1, 64, 0}, {2, 64, 0}}, options);
    if (!c.prepare.empty()) {
      ASSERT_EQ(run_program("/bin/sh", {"-c", c.prepare}, dir.path).status, 0) << c.name;
    }
    ToolResult result = run_sl_depth({"8"}, dir.path, c.shell_prefix);
    EXPECT_EQ(result.status, 1) << c.name;
    ASSERT_GE(result.err.size(), c.message.size()) << c.name;
    EXPECT_EQ(result.err.substr(result.err.size() - c.message.size()), c.message) << c.name << ": " << result.err;
    std::vector<std::string> expected = {"rec0000.tif", "rec0001.tif", "rec0002.tif"};
    expected.insert(expected.end(), c.outputs_left.begin(), c.outputs_left.end());
    EXPECT_EQ(list_files(dir.path), expected) << c.name;
    if (!c.outputs_left.empty()) {
      EXPECT_EQ(read_output_slice(dir.file("ro0000.tif")).codes.size(), 64u * 64u) << c.name;
    }
  }
}

// Faults at the edges: each ends with one line and status 1, and nothing of
// the user's is lost or left half-written.
struct EdgeFaultCase {
  const char *name;
  std::vector<TestSlice> large;  // 256 x 256; the other slices 0 to 3 are 8 x 4
  const char *first_description;  // of slice 0, when not the calibration line
  std::string prepare;
  std::string shell_prefix;
  std::vector<std::string> arguments;
  std::string message;
  std::vector<std::string> files_left;  // besides the inputs
  std::string check;                    // shell test that must hold afterwards
};

TEST(EdgeFaults, NeverHangLoseTheUsersFilesOrReportFailureAsSuccess) {
  const std::string as_nobody = "exec setpriv --reuid=nobody --regid=nogroup --clear-groups \"$0\" \"$@\";";
  const EdgeFaultCase cases[] = {
      {"fifo_named_like_a_slice", {}, nullptr, "mkfifo rec0004.tif", "exec timeout 20 \"$0\" \"$@\";", {"8"},
       "rec0004.tif : cannot open file.\n", {}, ""},
      {"read_only_stub_of_the_user", {}, nullptr, "printf ab > ro0003.tif; chmod 444 ro0003.tif; chmod 777 .",
       as_nobody, {"8"}, "ro0003.tif : cannot create output file.\n",
       {"ro0000.tif", "ro0001.tif", "ro0002.tif", "ro0003.tif"}, "test \"$(cat ro0003.tif)\" = ab"},
      {"nan_scale_in_the_first_slice", {}, "1\t0\tnan\t0\t0\t0\t0\t0", "", "", {"8"},
       "rec0000.tif : calibration line not found.\n", {}, ""},
      {"full_disk_behind_a_symbolic_link", {{3, 64, 0}}, nullptr, "mkdir kept; ln -s kept/target.tif rh0003.tif",
       "ulimit -f 64;", {"16"}, "rh0003.tif : File too large\nrh0003.tif : cannot write output file.\n",
       {"kept", "rh0000.tif", "rh0001.tif", "rh0002.tif"}, "test ! -s kept/target.tif"},
  };
  for (const EdgeFaultCase &c : cases) {
    ScratchDirectory dir;
    SeriesOptions small;
    small.width = 8;
    small.height = 4;
    std::vector<TestSlice> slices;
    for (int number = 0; number < 4; ++number) {
      bool is_large = false;
      for (const TestSlice &slice : c.large) is_large = is_large || slice.number == number;
      if (!is_large) slices.push_back({number, 64, 0});
    }
    write_test_series(dir.path, slices, small);
    SeriesOptions large;
    large.width = large.height = 256;
    if (!c.large.empty()) write_test_series(dir.path, c.large, large);
    if (c.first_description != nullptr) {
      SeriesOptions described = small;
      described.description_mode = DescriptionMode::fixed_text;
      described.description_text = c.first_description;
      write_test_slice(dir.path, "rec0000.tif", described);
    }
    ASSERT_EQ(run_program("/bin/sh", {"-c", c.prepare}, dir.path).status, 0) << c.name;
    // What the run leaves of output names is listed in files_left.
    std::vector<std::string> inputs = list_files(dir.path);
    inputs.erase(std::remove_if(inputs.begin(), inputs.end(),
                                [](const std::string &name) { return name[0] == 'r' && name[1] != 'e'; }),
                 inputs.end());
    ToolResult result = run_sl_depth(c.arguments, dir.path, c.shell_prefix);
    EXPECT_EQ(result.status, 1) << c.name;
    ASSERT_GE(result.err.size(), c.message.size()) << c.name;
    EXPECT_EQ(result.err.substr(result.err.size() - c.message.size()), c.message) << c.name << ": " << result.err;
    std::vector<std::string> expected = inputs;
    expected.insert(expected.end(), c.files_left.begin(), c.files_left.end());
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(list_files(dir.path), expected) << c.name;
    if (!c.check.empty()) {
      EXPECT_EQ(run_program("/bin/sh", {"-c", c.check}, dir.path).status, 0) << c.name;
    }
  }
}

// An interrupt during the second pass at 20 moments: every output left is
// complete and equal to the uninterrupted run's, none is partial, and the
// process ends by the signal.
TEST(Interrupts, LeaveOnlyCompleteOutputs) {
  ScratchDirectory dir;
  SeriesOptions options;
  options.width = options.height = 1024;
  std::vector<TestSlice> slices;
  for (int number = 0; number < 32; ++number) slices.push_back({number, 64, 0});
  write_test_series(dir.path, slices, options);
  auto outputs = [&dir] {
    std::vector<std::string> names;
    for (const std::string &name : list_files(dir.path)) {
      if (name.compare(0, 2, "ro") == 0) names.push_back(name);
    }
    return names;
  };
  // The quickest of three runs: a run slowed by other work on the machine
  // would put most moments after the end.
  double run_seconds = 1e9;
  for (int run = 0; run < 3; ++run) {
    for (const std::string &name : outputs()) unlink(dir.file(name).c_str());
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(run_sl_depth({"8"}, dir.path).status, 0);
    run_seconds = std::min(run_seconds, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  std::vector<std::string> complete;
  for (const std::string &name : outputs()) complete.push_back(read_file(dir.file(name)));
  ASSERT_EQ(complete.size(), 32u);

  int interrupted = 0;
  for (int moment = 0; moment < 20; ++moment) {
    for (const std::string &name : outputs()) unlink(dir.file(name).c_str());
    ToolResult result = run_sl_depth({"8"}, dir.path, "", {SIGINT, run_seconds * (moment + 0.5) / 20});
    if (result.status == 128 + SIGINT) {
      ++interrupted;
    } else {
      EXPECT_EQ(result.status, 0) << moment;
      // This run ended before the moment: quicker than the timed ones, which
      // other tests running beside them slowed. The moments left are spread
      // over the time this one had at most.
      run_seconds *= (moment + 0.5) / 20;
    }
    std::vector<std::string> left = outputs();
    for (size_t i = 0; i < left.size(); ++i) {
      char expected_name[32];
      snprintf(expected_name, sizeof expected_name, "ro%04d.tif", static_cast<int>(i));
      ASSERT_EQ(left[i], expected_name) << moment;
      EXPECT_TRUE(read_file(dir.file(left[i])) == complete[i]) << moment << " " << left[i];
    }
  }
  EXPECT_GE(interrupted, 10);
}

}  // namespace
