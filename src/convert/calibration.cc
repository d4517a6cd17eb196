#include "calibration.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

const char *skip_white_space(const char *text) {
  while (isspace(static_cast<unsigned char>(*text))) ++text;
  return text;
}

// An integer field; a value beyond the signed 32-bit range becomes the
// nearest limit.
bool parse_int_field(const char **text, int32_t *value) {
  const char *start = skip_white_space(*text);
  char *end;
  long long parsed = strtoll(start, &end, 10);
  if (end == start) return false;
  if (parsed > INT32_MAX) parsed = INT32_MAX;
  if (parsed < INT32_MIN) parsed = INT32_MIN;
  *value = static_cast<int32_t>(parsed);
  *text = end;
  return true;
}

bool parse_double_field(const char **text, double *value) {
  const char *start = skip_white_space(*text);
  char *end;
  double parsed = strtod(start, &end);
  if (end == start) return false;
  *value = parsed;
  *text = end;
  return true;
}

// The offset is held in single precision, converted directly from the text.
bool parse_float_field(const char **text, float *value) {
  const char *start = skip_white_space(*text);
  char *end;
  float parsed = strtof(start, &end);
  if (end == start) return false;
  *value = parsed;
  *text = end;
  return true;
}

}  // namespace

int parse_calibration(const char *text, CalibrationRecord *record) {
  if (!parse_int_field(&text, &record->field1)) return 0;
  if (!parse_double_field(&text, &record->field2)) return 1;
  if (!parse_double_field(&text, &record->scale)) return 2;
  if (!parse_float_field(&text, &record->offset)) return 3;
  if (!parse_double_field(&text, &record->field5)) return 4;
  if (!parse_int_field(&text, &record->field6)) return 5;
  if (!parse_double_field(&text, &record->field7)) return 6;
  if (!parse_double_field(&text, &record->field8)) return 7;
  return 8;
}

char *format_calibration(const CalibrationRecord &record, double div, double base) {
  static const char kFormat[] = "%d\t%f\t%f\t%f\t%f\t%d\t%f\t%f";
  int length = snprintf(nullptr, 0, kFormat, record.field1, record.field2, div, base, record.field5,
                        record.field6, record.field7, record.field8);
  if (length < 0) return nullptr;
  auto line = static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
  if (line == nullptr) return nullptr;
  snprintf(line, static_cast<size_t>(length) + 1, kFormat, record.field1, record.field2, div, base,
           record.field5, record.field6, record.field7, record.field8);
  return line;
}
