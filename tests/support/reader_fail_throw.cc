// read_slice's report of a refusal for tests: throws instead of ending the process.
#include "reader_failure.h"

void reader_report(const char *file_name, const char *message) { throw ReaderFailure{file_name, message}; }
