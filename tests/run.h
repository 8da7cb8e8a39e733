#ifndef SUMBENCH_TESTS_RUN_H_
#define SUMBENCH_TESTS_RUN_H_

#include <string>
#include <vector>

struct Outcome {
  int status;       // the exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs argv[0] with argv to completion and captures both streams. A non-zero
// address_space caps the child's address space in bytes (RLIMIT_AS).
Outcome run(const std::vector<std::string>& argv, unsigned long address_space = 0);

#endif  // SUMBENCH_TESTS_RUN_H_
