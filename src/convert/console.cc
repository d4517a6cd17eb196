#include "console.h"

#include <cstdio>

void print_usage() { fputs("usage : sl_depth bit (x1 y1 x2 y2)\n", stderr); }

void print_bad_bit() { fputs("bit must be 0, 8 or 16.\n", stderr); }

void print_bad_crop_rectangle() { fputs("bad crop rectangle.\n", stderr); }

void print_read_parameter() { fputs("read parameter\n", stderr); }

void print_slice_found(const char *input_name) { fprintf(stderr, "%s\r", input_name); }

void print_no_convert_files() { fputs("no convert files.\n", stderr); }

void print_series_range(double high, double low) { printf("\nmax=%f\tmin=%f\n", high, low); }

void print_series_scaling(double div, double base) { printf("div=%f\tbase=%f\n", div, base); }

void print_progress(const char *input_name, const char *output_name, int bit) {
  fprintf(stderr, "%s(16bit) -> %s(%dbit)\r", input_name, output_name, bit);
}

void print_file_error(const char *file_name, const char *message) {
  fprintf(stderr, "%s : %s\n", file_name, message);
}
