// What a test build's reader_fail throws.
#pragma once

#include <string>

#include "reader_fail.h"

struct ReaderFailure {
  std::string file_name;
  std::string message;
};
