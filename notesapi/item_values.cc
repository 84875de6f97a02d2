#include "notesapi/item_values.h"

#include <cstring>

namespace notesapi {

namespace {
constexpr size_t kTypeSize = 2;
constexpr size_t kMaxListBytes = 0xFFFF;
}  // namespace

void PutLe16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>(value >> 8));
}

void PutLe32(std::string* out, uint32_t value) {
  PutLe16(out, static_cast<uint16_t>(value & 0xFFFF));
  PutLe16(out, static_cast<uint16_t>(value >> 16));
}

bool GetLe16(std::string_view bytes, size_t offset, uint16_t* value) {
  if (offset > bytes.size() || bytes.size() - offset < 2) return false;
  *value = static_cast<uint16_t>(static_cast<uint8_t>(bytes[offset]) | (static_cast<uint8_t>(bytes[offset + 1]) << 8));
  return true;
}

bool GetLe32(std::string_view bytes, size_t offset, uint32_t* value) {
  uint16_t low = 0;
  uint16_t high = 0;
  if (!GetLe16(bytes, offset, &low) || !GetLe16(bytes, offset + 2, &high)) return false;
  *value = static_cast<uint32_t>(low) | (static_cast<uint32_t>(high) << 16);
  return true;
}

std::string EncodeTextValue(std::string_view text) {
  std::string value;
  PutLe16(&value, TYPE_TEXT);
  value.append(text);
  return value;
}

std::string EncodeNumberValue(double number) {
  uint64_t bits = 0;
  std::memcpy(&bits, &number, sizeof bits);
  std::string value;
  PutLe16(&value, TYPE_NUMBER);
  PutLe32(&value, static_cast<uint32_t>(bits));
  PutLe32(&value, static_cast<uint32_t>(bits >> 32));
  return value;
}

std::string EncodeTimeValue(const TimeDate& time) {
  std::string value;
  PutLe16(&value, TYPE_TIME);
  PutLe32(&value, time.innards[0]);
  PutLe32(&value, time.innards[1]);
  return value;
}

Status EncodeTextListValue(const std::vector<std::string>& entries, std::string* value) {
  size_t total = 2 + entries.size() * 2;
  for (const std::string& entry : entries) total += entry.size();
  if (entries.size() > 0xFFFF || total > kMaxListBytes) return kBadArgument;
  std::string out;
  PutLe16(&out, TYPE_TEXT_LIST);
  PutLe16(&out, static_cast<uint16_t>(entries.size()));
  for (const std::string& entry : entries) PutLe16(&out, static_cast<uint16_t>(entry.size()));
  for (const std::string& entry : entries) out.append(entry);
  *value = std::move(out);
  return kNoError;
}

Status ValueType(std::string_view value, uint16_t* type) {
  return GetLe16(value, 0, type) ? kNoError : kValueTooShort;
}

Status DecodeTextValue(std::string_view value, std::string* text) {
  uint16_t type = 0;
  if (Status s = ValueType(value, &type); s != kNoError) return s;
  if (type != TYPE_TEXT) return kWrongItemType;
  text->assign(value.substr(kTypeSize));
  return kNoError;
}

Status DecodeNumberValue(std::string_view value, double* number) {
  uint16_t type = 0;
  uint32_t low = 0;
  uint32_t high = 0;
  if (Status s = ValueType(value, &type); s != kNoError) return s;
  if (type != TYPE_NUMBER) return kWrongItemType;
  if (!GetLe32(value, 2, &low) || !GetLe32(value, 6, &high)) return kValueTooShort;
  uint64_t bits = (static_cast<uint64_t>(high) << 32) | low;
  std::memcpy(number, &bits, sizeof bits);
  return kNoError;
}

Status DecodeTimeValue(std::string_view value, TimeDate* time) {
  uint16_t type = 0;
  TimeDate result;
  if (Status s = ValueType(value, &type); s != kNoError) return s;
  if (type != TYPE_TIME) return kWrongItemType;
  if (!GetLe32(value, 2, &result.innards[0]) || !GetLe32(value, 6, &result.innards[1])) return kValueTooShort;
  *time = result;
  return kNoError;
}

Status DecodeTextListValue(std::string_view value, std::vector<std::string>* entries) {
  uint16_t type = 0;
  uint16_t count = 0;
  if (Status s = ValueType(value, &type); s != kNoError) return s;
  if (type != TYPE_TEXT_LIST) return kWrongItemType;
  if (!GetLe16(value, 2, &count)) return kValueTooShort;
  size_t text = 4 + static_cast<size_t>(count) * 2;
  if (text > value.size()) return kValueTooShort;
  std::vector<std::string> result;
  result.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    uint16_t length = 0;
    (void)GetLe16(value, 4 + static_cast<size_t>(i) * 2, &length);  // in range: checked above
    if (length > value.size() - text) return kValueTooShort;
    result.emplace_back(value.substr(text, length));
    text += length;
  }
  *entries = std::move(result);
  return kNoError;
}

}  // namespace notesapi
