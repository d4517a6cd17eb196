#include "calibration.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdint>
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

// Significant digits that decide how any decimal number rounds to a double
// or a float are fewer than this: the exact halves between neighbouring
// doubles have at most 768.
constexpr int kKeptDigits = 800;
constexpr int64_t kExponentBound = 100000;  // far beyond any double, finite or not
// An exponent written with more digits than this many stands for a power
// beyond any point shift a text can make; it is held there.
constexpr int64_t kExponentHeld = 100000000000000000;  // 10^17: ten times it still fits

// The number text[0 .. end) in a bounded form that converts to the same
// value: at most kKeptDigits significant digits, with a 1 after them when
// any dropped digit was not 0, and an exponent within ±kExponentBound. A
// number lies strictly between the same two neighbours of kKeptDigits
// digits either way, and no double, float or half between two lies there,
// so every conversion rounds both alike. A field of millions of digits
// thus needs no copy of its own length. The decimal point's place is
// counted exactly (it is bounded by the text's length) and the written
// exponent added to it, so runs of zeros of any length before or after
// the point are offset by an exponent of any size; only the sum is held
// within the bound.
void bounded_decimal(const char *text, const char *end, char (&copy)[kKeptDigits + 48]) {
  char *out = copy;
  if (*text == '+' || *text == '-') *out++ = *text++;
  *out++ = '0';
  *out++ = '.';
  int kept = 0;
  bool dropped_nonzero = false;
  int64_t point = 0;  // the decimal point's place in the significant digits
  bool significant = false;
  bool after_point = false;
  for (; text < end && *text != 'e' && *text != 'E'; ++text) {
    if (*text == '.') {
      after_point = true;
      continue;
    }
    if (!significant && *text == '0') {
      if (after_point) --point;
      continue;
    }
    significant = true;
    if (!after_point) ++point;
    if (kept < kKeptDigits) {
      *out++ = *text;
      ++kept;
    } else if (*text != '0') {
      dropped_nonzero = true;
    }
  }
  if (dropped_nonzero) *out++ = '1';
  int64_t exponent = 0;
  if (text < end) {  // 'e', then an optional sign and at least one digit
    ++text;
    bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    for (; text < end; ++text) {
      if (exponent < kExponentHeld) exponent = exponent * 10 + (*text - '0');
    }
    if (exponent > kExponentHeld) exponent = kExponentHeld;
    if (negative) exponent = -exponent;
  }
  int64_t scale = significant ? point + exponent : 0;
  if (scale > kExponentBound) scale = kExponentBound;
  if (scale < -kExponentBound) scale = -kExponentBound;
  snprintf(out, static_cast<size_t>(copy + sizeof copy - out), "e%lld", static_cast<long long>(scale));
}

// One floating field, converted by the C library once its extent is known.
// The double is rounded once from the text; the offset field is converted
// to single precision directly from the text.
template <typename Value>
bool parse_floating_field(const char **text, Value *value, Value (*convert)(const char *, char **)) {
  const char *start = skip_white_space(*text);
  const char *end = end_of_decimal(start);
  if (end == nullptr) return false;
  char copy[kKeptDigits + 48];
  bounded_decimal(start, end, copy);
  *value = convert(copy, nullptr);
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
