// The reader's fatal report.
//
// The tool links reader_fail_exit.cc: one line "<file name> : <message>" on
// standard error, then exit status 1, nothing closed or freed first. Tests
// and the fuzz target link a version that throws instead, and then call
// reader_abandon() to release what the interrupted read_slice held.
#pragma once

[[noreturn]] void reader_fail(const char *message);

// Closes the stream and frees the partial slice image, the strip tables and
// the description that an interrupted read_slice still owns. Only for builds
// whose reader_fail returns control (tests, fuzzing).
void reader_abandon();

// The file name of the read in progress, for reports.
const char *reader_file_name();
