#include "base/english_messages.h"

namespace zul {

namespace {

constexpr EnglishMessage kEnglish[] = {
#define MESSAGE_EN(id, text) {id, text},
#include "base/messages_en.def"
#undef MESSAGE_EN
};

}  // namespace

const EnglishMessage* EnglishMessages(size_t* count) {
  *count = sizeof kEnglish / sizeof kEnglish[0];
  return kEnglish;
}

}  // namespace zul
