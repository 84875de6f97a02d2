// The body of a program's main: no exception leaves it. Anything unexpected
// is one line on standard error ("PROGRAM: unexpected failure: WHAT", then
// `afterword`) and the exit code `failed`.
#ifndef TOOLS_COMMON_GUARDED_MAIN_H_
#define TOOLS_COMMON_GUARDED_MAIN_H_

#include <exception>
#include <iostream>

namespace tools {

inline int GuardedMain(const char* program, int (*run)(int, char**), int argc, char** argv, int failed,
                       const char* afterword = "") {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << program << ": unexpected failure: " << e.what() << afterword << "\n";
  } catch (...) {
    std::cerr << program << ": unexpected failure" << afterword << "\n";
  }
  return failed;
}

}  // namespace tools

#endif  // TOOLS_COMMON_GUARDED_MAIN_H_
