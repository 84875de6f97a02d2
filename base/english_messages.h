// The English texts of the message catalogue, one per id, from which the
// English message library is built.
#ifndef BASE_ENGLISH_MESSAGES_H_
#define BASE_ENGLISH_MESSAGES_H_

#include <cstddef>
#include <cstdint>

namespace zul {

struct EnglishMessage {
  uint16_t id;
  const char* utf8;
};

const EnglishMessage* EnglishMessages(size_t* count);

}  // namespace zul

#endif  // BASE_ENGLISH_MESSAGES_H_
