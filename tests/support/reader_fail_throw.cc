// The fatal report for tests: throws instead of ending the process.
#include "reader_failure.h"

void reader_fail(const char *message) { throw ReaderFailure{reader_file_name(), message}; }
