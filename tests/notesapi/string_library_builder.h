// String libraries for the tests: the tools' writer.
#ifndef TESTS_NOTESAPI_STRING_LIBRARY_BUILDER_H_
#define TESTS_NOTESAPI_STRING_LIBRARY_BUILDER_H_

#include "tools/common/string_library_writer.h"

namespace notesapi::testing {

using tools::BuildStringLibrary;
using tools::Put16;
using tools::Put32;

}  // namespace notesapi::testing

#endif  // TESTS_NOTESAPI_STRING_LIBRARY_BUILDER_H_
