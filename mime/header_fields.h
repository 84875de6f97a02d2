// Header fields of a stored MIME header block, read as RFC 5322 says: a
// field's name case-insensitively, its value with the continuation lines
// that fold it. The host edits blocks with it and the scanners read a part's
// type and transfer encoding with it, so both see the same field.
#ifndef MIME_HEADER_FIELDS_H_
#define MIME_HEADER_FIELDS_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace mime {

// The field `name` of `block`: [start, end) from its name to the line end
// of its last continuation line; {npos, npos} when the block lacks it.
std::pair<size_t, size_t> FindHeaderField(std::string_view block, std::string_view name);

// The value of the field `name`, unfolded (each line end with the blanks
// after it becomes one space), without blanks around it; "" when absent.
std::string HeaderFieldValue(std::string_view block, std::string_view name);

}  // namespace mime

#endif  // MIME_HEADER_FIELDS_H_
