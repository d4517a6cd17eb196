#include "calibration.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

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

const char *skip_digits(const char *text) {
  while (isdigit(static_cast<unsigned char>(*text))) ++text;
  return text;
}

// The end of a floating number at `text`: an optional sign, digits with an
// optional decimal point and fraction, an optional exponent. Null when no
// number starts there. The C library's wider forms (hexadecimal, "inf",
// "nan") are not numbers of a calibration line: a scale read as "nan" would
// map every sample to 0 without a word.
const char *end_of_decimal(const char *text) {
  if (*text == '+' || *text == '-') ++text;
  const char *digits_start = text;
  text = skip_digits(text);
  bool whole_digits = text != digits_start;
  bool fraction_digits = false;
  if (*text == '.') {
    const char *fraction_start = text + 1;
    const char *fraction_end = skip_digits(fraction_start);
    fraction_digits = fraction_end != fraction_start;
    if (whole_digits || fraction_digits) text = fraction_end;
  }
  if (!whole_digits && !fraction_digits) return nullptr;
  if (*text == 'e' || *text == 'E') {
    const char *exponent = text + 1;
    if (*exponent == '+' || *exponent == '-') ++exponent;
    const char *exponent_end = skip_digits(exponent);
    // "1e" or "1e+" without digits ends the number before the 'e'.
    if (exponent_end != exponent) text = exponent_end;
  }
  return text;
}

// The text of one floating field, converted by the C library once its
// extent is known. The double is rounded once from the text; the offset
// field is converted to single precision directly from the text.
template <typename Value>
bool parse_floating_field(const char **text, Value *value, Value (*convert)(const char *, char **)) {
  const char *start = skip_white_space(*text);
  const char *end = end_of_decimal(start);
  if (end == nullptr) return false;
  std::string digits(start, end);
  *value = convert(digits.c_str(), nullptr);
  *text = end;
  return true;
}

bool parse_double_field(const char **text, double *value) { return parse_floating_field(text, value, strtod); }

bool parse_float_field(const char **text, float *value) { return parse_floating_field(text, value, strtof); }

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
