// The reader's refusals.
//
// Inside the reader every refusal goes through reader_fail, which throws a
// ReaderRefusal carrying the reader's fixed message. read_slice_with catches
// it at its top, frees what the read held and returns kSliceRefused; nothing
// else in the reader catches it.
//
// read_slice, the single-threaded face, hands a refusal on to reader_report,
// which is linked separately: the tool links reader_fail_exit.cc (one line
// "<file name> : <message>" on standard error, then exit status 1), tests
// and the fuzz target a version that throws ReaderFailure.
#pragma once

struct ReaderRefusal {
  const char *message;  // a string literal, such as "LZW too few codes."
};

[[noreturn]] void reader_fail(const char *message);

[[noreturn]] void reader_report(const char *file_name, const char *message);
