// The command line, the two passes and the report, on small generated series.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <string>
#include <vector>

#include "run_tool.h"
#include "series_fixture.h"

namespace {

const char kUsage[] = "usage : sl_depth bit (x1 y1 x2 y2)\n";

SeriesOptions tiny() {
  SeriesOptions options;
  options.width = 8;
  options.height = 4;
  return options;
}

TEST(CommandLine, WrongArgumentCountPrintsOnlyTheUsageLine) {
  const std::vector<std::vector<std::string>> argument_lists = {
      {}, {"8", "1"}, {"8", "1", "2"}, {"8", "1", "2", "3"}, {"8", "1", "2", "3", "4", "5"},
      {"0", "0", "0", "0", "0", "0", "0"}, {"--version", "8"}, {"--help", "--version"}};
  ScratchDirectory dir;
  write_test_series(dir.path, {{0, 64, 0}}, tiny());
  for (const auto &arguments : argument_lists) {
    ToolResult result = run_sl_depth(arguments, dir.path);
    EXPECT_EQ(result.status, 1) << arguments.size();
    EXPECT_EQ(result.err, kUsage) << arguments.size();
    EXPECT_EQ(result.out, "") << arguments.size();
    EXPECT_EQ(list_files(dir.path), std::vector<std::string>{"rec0000.tif"});
  }
}

struct RefusedCase {
  std::vector<std::string> arguments;
  std::string err;
};

TEST(CommandLine, RefusesBitsAndRectanglesBeforeReading) {
  const RefusedCase cases[] = {
      {{"7"}, "bit must be 0, 8 or 16.\n"},
      {{"-8"}, "bit must be 0, 8 or 16.\n"},
      {{"32"}, "bit must be 0, 8 or 16.\n"},
      {{"12", "0", "0", "1", "1"}, "bit must be 0, 8 or 16.\n"},
      {{"8", "-1", "0", "1", "1"}, "bad crop rectangle.\n"},
      {{"8", "0", "-1", "1", "1"}, "bad crop rectangle.\n"},
      {{"8", "2", "0", "1", "1"}, "bad crop rectangle.\n"},
      {{"8", "0", "2", "1", "1"}, "bad crop rectangle.\n"},
  };
  ScratchDirectory dir;
  write_test_series(dir.path, {{0, 64, 0}}, tiny());
  for (const RefusedCase &c : cases) {
    ToolResult result = run_sl_depth(c.arguments, dir.path);
    EXPECT_EQ(result.status, 1) << c.err;
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(list_files(dir.path), std::vector<std::string>{"rec0000.tif"});
}

struct NumberCase {
  std::string argument;
  bool converts;  // reads as 8; otherwise as 0 (report only)
};

TEST(CommandLine, ReadsNumbersByTheirLeadingDigits) {
  const NumberCase cases[] = {{"8", true},   {"+8", true},  {" 8", true}, {"8abc", true},
                              {"0x10", false}, {"a", false}, {"", false}, {"-0", false},
                              {"--versions", false}, {"-version", false}, {" --help", false}, {"--HELP", false}};
  for (const NumberCase &c : cases) {
    ScratchDirectory dir;
    write_test_series(dir.path, {{0, 64, 0}}, tiny());
    ToolResult result = run_sl_depth({c.argument}, dir.path);
    EXPECT_EQ(result.status, 0) << c.argument;
    std::string report = "\nmax=1024.000000\tmin=0.000000\n";
    if (c.converts) report += "div=0.250000\tbase=0.000000\n";
    EXPECT_EQ(result.out, report) << c.argument;
    std::vector<std::string> files = {"rec0000.tif"};
    if (c.converts) files.push_back("ro0000.tif");
    EXPECT_EQ(list_files(dir.path), files) << c.argument;
  }
}

struct AnswerCase {
  std::string argument;
  std::string shell_prefix;
  int status;
  std::string out;
};

// The libtiff the tool names is the one of the headers it was built with,
// the same release as the library loaded here.
std::string libtiff_release() {
  const std::string banner = TIFFGetVersion();  // "LIBTIFF, Version 4.5.0\n..."
  const size_t start = banner.find("Version ") + 8;
  return banner.substr(start, banner.find('\n') - start);
}

// A program that carries libtiff inside (a static build under test) names
// its source package after the release; the name itself is the build's.
std::string without_source_package(std::string out) {
  const size_t start = out.find(", from the source package ");
  const size_t end = out.find('\n', start);
  if (start != std::string::npos && end != std::string::npos && end == out.size() - 1) out.erase(start, end - start);
  return out;
}

TEST(CommandLine, AnswersVersionAndHelpOnStandardOutput) {
  const std::string version = "sl_depth " SL_DEPTH_VERSION "\nlibtiff " + libtiff_release() + "\n";
  const std::string help = kUsage + std::string("manual: man sl_depth; on Windows README-windows.txt beside sl_depth.exe\n");
  const AnswerCase cases[] = {
      {"--version", "", 0, version},
      {"--help", "", 0, help},
      // Text that did not reach standard output is not a success.
      {"--version", "exec >/dev/full;", 1, ""},
      {"--help", "exec >/dev/full;", 1, ""},
  };
  ScratchDirectory dir;
  write_test_series(dir.path, {{0, 64, 0}}, tiny());
  for (const AnswerCase &c : cases) {
    ToolResult result = run_sl_depth({c.argument}, dir.path, c.shell_prefix);
    EXPECT_EQ(result.status, c.status) << c.argument << c.shell_prefix;
    EXPECT_EQ(without_source_package(result.out), c.out) << c.argument;
    EXPECT_EQ(result.err, "") << c.argument;
  }
  EXPECT_EQ(list_files(dir.path), std::vector<std::string>{"rec0000.tif"});
}

TEST(RunFlow, EmptyDirectoryHasNoConvertFilesForEveryBit) {
  for (const char *bit : {"0", "8", "16"}) {
    ScratchDirectory dir;
    ToolResult result = run_sl_depth({bit}, dir.path);
    EXPECT_EQ(result.status, 1) << bit;
    EXPECT_EQ(result.err, "read parameter\nno convert files.\n") << bit;
    EXPECT_EQ(result.out, "") << bit;
    EXPECT_TRUE(list_files(dir.path).empty());
  }
}

struct ReportCase {
  const char *name;
  std::vector<TestSlice> slices;
  const char *bit;
  std::string out;
};

TEST(RunFlow, ReportLinesByteForByte) {
  const ReportCase cases[] = {
      {"one_slice_report_only", {{0, 64, 0}}, "0", "\nmax=1024.000000\tmin=0.000000\n"},
      {"one_slice_8_bit", {{0, 64, 0}}, "8", "\nmax=1024.000000\tmin=0.000000\ndiv=0.250000\tbase=0.000000\n"},
      {"one_slice_16_bit", {{0, 64, 0}}, "16", "\nmax=1024.000000\tmin=0.000000\ndiv=64.000000\tbase=0.000000\n"},
      {"two_slices", {{0, 64, 0}, {1, 32, -512}}, "8",
       "\nmax=1536.000000\tmin=-512.000000\ndiv=0.125000\tbase=-512.000000\n"},
      {"offsets_above_the_bound", {{0, 64, 2000}}, "8",
       "\nmax=3024.000000\tmin=1000.000000\ndiv=0.126482\tbase=1000.000000\n"},
      {"tops_below_the_bound", {{0, 64, -3000}}, "0", "\nmax=-1000.000000\tmin=-3000.000000\n"},
      {"zero_scale", {{0, 64, 0}, {1, 0, 0}}, "8", "\nmax=inf\tmin=0.000000\ndiv=0.000000\tbase=0.000000\n"},
  };
  for (const ReportCase &c : cases) {
    ScratchDirectory dir;
    write_test_series(dir.path, c.slices, tiny());
    ToolResult result = run_sl_depth({c.bit}, dir.path);
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.out, c.out) << c.name;
  }
}

TEST(RunFlow, ReportOnlyRunListsEverySliceAndWritesNothing) {
  ScratchDirectory dir;
  write_test_series(dir.path, {{3, 64, 0}, {10, 64, 0}, {9999, 64, 0}}, tiny());
  ToolResult result = run_sl_depth({"0"}, dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "read parameter\nrec0003.tif\rrec0010.tif\rrec9999.tif\r");
  EXPECT_EQ(result.out, "\nmax=1024.000000\tmin=0.000000\n");
  EXPECT_EQ(list_files(dir.path), (std::vector<std::string>{"rec0003.tif", "rec0010.tif", "rec9999.tif"}));
}

// Only the exact names rec0000.tif to rec9999.tif are slices.
TEST(RunFlow, OtherNamesAreNotSlices) {
  ScratchDirectory dir;
  write_test_series(dir.path, {{4, 64, 0}}, tiny());
  for (const char *name : {"REC0001.TIF", "rec0002.tiff", "rec00003.tif", "rec12.tif", "xrec0005.tif", "rec-006.tif"}) {
    ASSERT_EQ(rename(dir.file("rec0004.tif").c_str(), dir.file(name).c_str()), 0);
    write_test_series(dir.path, {{4, 64, 0}}, tiny());
  }
  ToolResult result = run_sl_depth({"0"}, dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "read parameter\nrec0004.tif\r");
}

TEST(RunFlow, GapsInTheNumberingKeepTheNumbers) {
  ScratchDirectory dir;
  write_test_series(dir.path, {{3, 64, 0}, {10, 64, 0}}, tiny());
  ToolResult result = run_sl_depth({"8"}, dir.path);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err,
            "read parameter\nrec0003.tif\rrec0010.tif\r"
            "rec0003.tif(16bit) -> ro0003.tif(8bit)\rrec0010.tif(16bit) -> ro0010.tif(8bit)\r");
  EXPECT_EQ(list_files(dir.path),
            (std::vector<std::string>{"rec0003.tif", "rec0010.tif", "ro0003.tif", "ro0010.tif"}));
}

// Faults found in the first pass stop the run before any output exists,
// whatever the slice's number.
TEST(RunFlow, FirstPassFaultsWriteNothing) {
  SeriesOptions no_description = tiny();
  no_description.description_mode = DescriptionMode::absent;
  SeriesOptions foreign_description = tiny();
  foreign_description.description_mode = DescriptionMode::fixed_text;
  foreign_description.description_text = "reconstructed with 2 passes";
  SeriesOptions narrow = tiny();
  narrow.width = 5;

  struct Layout {
    const char *name;
    SeriesOptions options;
    std::vector<std::string> arguments;
    std::string err_tail;
  } cases[] = {
      {"no_description", no_description, {"8"}, "rec0002.tif : calibration line not found.\n"},
      {"crop_outside_one_slice", narrow, {"8", "0", "0", "5", "1"}, "rec0002.tif : crop rectangle outside the slice.\n"},
      {"crop_below_one_slice", tiny(), {"8", "0", "0", "1", "4"}, "rec0000.tif : crop rectangle outside the slice.\n"},
  };
  for (const Layout &c : cases) {
    ScratchDirectory dir;
    write_test_series(dir.path, {{0, 64, 0}, {1, 64, 0}}, tiny());
    write_test_slice(dir.path, "rec0002.tif", c.options);
    ToolResult result = run_sl_depth(c.arguments, dir.path);
    EXPECT_EQ(result.status, 1) << c.name;
    ASSERT_GE(result.err.size(), c.err_tail.size()) << c.name;
    EXPECT_EQ(result.err.substr(result.err.size() - c.err_tail.size()), c.err_tail) << c.name << ": " << result.err;
    EXPECT_EQ(result.out, "") << c.name;
    EXPECT_EQ(list_files(dir.path), (std::vector<std::string>{"rec0000.tif", "rec0001.tif", "rec0002.tif"}))
        << c.name;
  }

  // A first slice whose description sets no scale would make every code 0.
  ScratchDirectory dir;
  write_test_slice(dir.path, "rec0000.tif", foreign_description);
  write_test_series(dir.path, {{1, 64, 0}}, tiny());
  ToolResult result = run_sl_depth({"8"}, dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "read parameter\nrec0000.tif : calibration line not found.\n");
}

TEST(RunFlow, NameThatCannotBeOpenedStopsTheRun) {
  ScratchDirectory dir;
  write_test_series(dir.path, {{0, 64, 0}}, tiny());
  ASSERT_EQ(mkdir(dir.file("rec0001.tif").c_str(), 0755), 0);
  ToolResult result = run_sl_depth({"0"}, dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "read parameter\nrec0000.tif\rrec0001.tif : cannot open file.\n");
  EXPECT_EQ(result.out, "");
}

// Later slices whose lines lack fields keep the values of the slice before.
TEST(RunFlow, ShortCalibrationLineOfALaterSliceKeepsEarlierFields) {
  ScratchDirectory dir;
  write_test_series(dir.path, {{0, 64, -512}}, tiny());
  SeriesOptions short_line = tiny();
  short_line.description_mode = DescriptionMode::fixed_text;
  short_line.description_text = "3 1.0 32.0";
  write_test_slice(dir.path, "rec0001.tif", short_line);
  ToolResult result = run_sl_depth({"0"}, dir.path);
  EXPECT_EQ(result.status, 0) << result.err;
  // Slice 1 keeps the offset -512 of slice 0: its top is 2048 - 512.
  EXPECT_EQ(result.out, "\nmax=1536.000000\tmin=-512.000000\n");
}

}  // namespace
