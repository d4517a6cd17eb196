// What a test build's reader_report throws when read_slice refuses a slice.
#pragma once

#include <string>

#include "reader_fail.h"

struct ReaderFailure {
  std::string file_name;
  std::string message;
};
