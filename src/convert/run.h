// The run: argument checks, the first pass over the series (calibration
// lines, series range), the report, and the second pass (decode, crop, map,
// write). Returns the exit status.
#pragma once

int run(int argc, const char *const *argv);
