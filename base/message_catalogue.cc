#include "base/message_catalogue.h"

namespace zul {

namespace {

constexpr MessageEntry kCatalogue[] = {
#define MESSAGE(name, id, text) {Msg::name, id, text},
#include "base/messages.def"
#undef MESSAGE
};

}  // namespace

const MessageEntry* MessageCatalogue(size_t* count) {
  *count = sizeof kCatalogue / sizeof kCatalogue[0];
  return kCatalogue;
}

const MessageEntry& CatalogueEntry(Msg message) { return kCatalogue[static_cast<size_t>(message)]; }

}  // namespace zul
