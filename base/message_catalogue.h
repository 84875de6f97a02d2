// The catalogue of every message of both tasks (messages.def): its id in
// the message library and its built-in text. Call sites name a message by
// its Msg value, so no text is written twice and none lacks a default.
#ifndef BASE_MESSAGE_CATALOGUE_H_
#define BASE_MESSAGE_CATALOGUE_H_

#include <cstddef>
#include <cstdint>

namespace zul {

enum class Msg : uint16_t {
#define MESSAGE(name, id, text) name,
#include "base/messages.def"
#undef MESSAGE
};

struct MessageEntry {
  Msg message;
  uint16_t id;
  const char* builtInUtf8;
};

// Every entry, in the order of messages.def.
const MessageEntry* MessageCatalogue(size_t* count);
const MessageEntry& CatalogueEntry(Msg message);

}  // namespace zul

#endif  // BASE_MESSAGE_CATALOGUE_H_
