#include "command_line.h"

#include <cstdlib>

int32_t read_number(const char *text) {
  long long value = strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool read_parameters(int argc, const char *const *argv, RunParameters *parameters) {
  if (argc != 2 && argc != 6) return false;
  *parameters = RunParameters{};
  parameters->bit = read_number(argv[1]);
  if (argc == 6) {
    parameters->crop = true;
    parameters->x1 = read_number(argv[2]);
    parameters->y1 = read_number(argv[3]);
    parameters->x2 = read_number(argv[4]);
    parameters->y2 = read_number(argv[5]);
  }
  return true;
}
