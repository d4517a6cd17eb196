// Every console text of the tool. Only the two report lines go to standard
// output; everything else goes to standard error. Per-slice lines end in a
// carriage return so that on a console each overwrites the one before.
#pragma once

void print_usage();
// `sl_depth --version` and `sl_depth --help`, on standard output; false
// when standard output did not take the text.
bool print_version();
bool print_help();
void print_bad_bit();
void print_bad_crop_rectangle();
void print_read_parameter();
void print_slice_found(const char *input_name);
void print_no_convert_files();
void print_memory_error();
void print_series_range(double high, double low);
void print_series_scaling(double div, double base);
void print_progress(const char *input_name, const char *output_name, int bit);

// "<file name> : <message>", the form of every error about one file.
void print_file_error(const char *file_name, const char *message);
