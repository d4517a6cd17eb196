// The calibration line: eight numbers in a slice's ImageDescription,
// "%d\t%lf\t%lf\t%f\t%lf\t%d\t%lf\t%lf". Field 3 is the scale and field 4 the
// offset: a stored sample v stands for the physical value v / scale + offset.
// The other six fields are carried into the output line unchanged in value.
#pragma once

#include <cstdint>

struct CalibrationRecord {
  int32_t field1;
  double field2;
  double scale;   // field 3: stored samples per physical unit
  float offset;   // field 4: physical value of the stored sample 0
  double field5;
  int32_t field6;
  double field7;
  double field8;
};

// Overwrites the record's fields in order as far as `text` matches them and
// returns how many matched; unmatched fields keep their previous values.
// Each field may be preceded by any run of white space.
int parse_calibration(const char *text, CalibrationRecord *record);

// The rewritten line with `div` in field 3 and `base` in field 4, every
// floating field in fixed notation with six decimals. Returns malloc'd text
// owned by the caller, or null when it cannot be allocated.
char *format_calibration(const CalibrationRecord &record, double div, double base);
