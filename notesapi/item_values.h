// The canonical byte layout of item values: little-endian, starting with the
// 16-bit data type. Text is the bytes themselves; a number an 8-byte IEEE
// double; a time an 8-byte time value; a text list a 16-bit entry count,
// one 16-bit length per entry, then the entries one after another.
// Decoders check every length against the value they are given.
#ifndef NOTESAPI_ITEM_VALUES_H_
#define NOTESAPI_ITEM_VALUES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "notesapi/status.h"
#include "notesapi/types.h"

namespace notesapi {

void PutLe16(std::string* out, uint16_t value);
void PutLe32(std::string* out, uint32_t value);
// False when fewer than 2 or 4 bytes remain at `offset`.
bool GetLe16(std::string_view bytes, size_t offset, uint16_t* value);
bool GetLe32(std::string_view bytes, size_t offset, uint32_t* value);

std::string EncodeTextValue(std::string_view text);
std::string EncodeNumberValue(double number);
std::string EncodeTimeValue(const TimeDate& time);
// kBadArgument when an entry or the list is longer than 16-bit lengths allow.
[[nodiscard]] Status EncodeTextListValue(const std::vector<std::string>& entries, std::string* value);

// The data type of a value; kValueTooShort for less than two bytes.
[[nodiscard]] Status ValueType(std::string_view value, uint16_t* type);
[[nodiscard]] Status DecodeTextValue(std::string_view value, std::string* text);
[[nodiscard]] Status DecodeNumberValue(std::string_view value, double* number);
[[nodiscard]] Status DecodeTimeValue(std::string_view value, TimeDate* time);
[[nodiscard]] Status DecodeTextListValue(std::string_view value, std::vector<std::string>* entries);

}  // namespace notesapi

#endif  // NOTESAPI_ITEM_VALUES_H_
