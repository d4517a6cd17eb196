#include "console.h"

#include <cstdarg>
#include <cstdio>

namespace {

// One line of standard error in one write: the stream is unbuffered, and
// some C libraries write an unbuffered formatted line a character at a time.
__attribute__((format(printf, 1, 2))) void print_error_text(const char *format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  int length = vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  size_t size = static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length) : sizeof text - 1;
  fwrite(text, 1, size, stderr);
}

constexpr char kUsage[] = "usage : sl_depth bit (x1 y1 x2 y2)\n";

bool standard_output_written() { return fflush(stdout) == 0 && !ferror(stdout); }

}  // namespace

void print_usage() { fputs(kUsage, stderr); }

// The libtiff named is the one of the headers the tool was built with; a
// build that carries libtiff inside also names its source package.
bool print_version() {
  printf("sl_depth %s\nlibtiff %s", SL_DEPTH_VERSION, SL_TIFF_VERSION);
  if (SL_TIFF_SOURCE[0] != '\0') printf(", from the source package %s", SL_TIFF_SOURCE);
  putchar('\n');
  return standard_output_written();
}

bool print_help() {
  fputs(kUsage, stdout);
  fputs("manual: man sl_depth; on Windows README-windows.txt beside sl_depth.exe\n", stdout);
  return standard_output_written();
}

void print_bad_bit() { fputs("bit must be 0, 8 or 16.\n", stderr); }

void print_bad_crop_rectangle() { fputs("bad crop rectangle.\n", stderr); }

void print_read_parameter() { fputs("read parameter\n", stderr); }

void print_slice_found(const char *input_name) { print_error_text("%s\r", input_name); }

void print_no_convert_files() { fputs("no convert files.\n", stderr); }

void print_memory_error() { fputs("memory allocation error.\n", stderr); }

void print_series_range(double high, double low) { printf("\nmax=%f\tmin=%f\n", high, low); }

void print_series_scaling(double div, double base) { printf("div=%f\tbase=%f\n", div, base); }

void print_progress(const char *input_name, const char *output_name, int bit) {
  print_error_text("%s(16bit) -> %s(%dbit)\r", input_name, output_name, bit);
}

void print_file_error(const char *file_name, const char *message) {
  print_error_text("%s : %s\n", file_name, message);
}
