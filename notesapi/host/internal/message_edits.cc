#include "notesapi/host/internal/message_edits.h"

#include <algorithm>
#include <cstring>

namespace notesapi::host {

namespace {

// Sorts `edits` and gives the size of the message with them applied.
Status CheckedSize(const std::string& message, std::vector<MessageEdit>* edits, size_t* size) {
  std::sort(edits->begin(), edits->end(), [](const MessageEdit& a, const MessageEdit& b) { return a.from < b.from; });
  size_t result = message.size();
  size_t at = 0;
  for (const MessageEdit& edit : *edits) {
    if (edit.from < at || edit.to < edit.from || edit.to > message.size()) return kBadArgument;
    result = result - (edit.to - edit.from) + edit.bytes.size();
    at = edit.to;
  }
  *size = result;
  return kNoError;
}

// Back to front, each tail moved to its place before the edit before it.
void GrowInPlace(std::string* message, const std::vector<MessageEdit>& edits, size_t size) {
  size_t end = message->size();
  message->resize(size);
  char* bytes = message->data();
  for (auto edit = edits.rbegin(); edit != edits.rend(); ++edit) {
    size_t tail = end - edit->to;
    std::memmove(bytes + size - tail, bytes + edit->to, tail);
    size -= tail;
    std::memcpy(bytes + size - edit->bytes.size(), edit->bytes.data(), edit->bytes.size());
    size -= edit->bytes.size();
    end = edit->from;
  }
}

// Front to back, each run moved down behind the edit before it.
void ShrinkInPlace(std::string* message, const std::vector<MessageEdit>& edits) {
  char* bytes = message->data();
  size_t from = 0;
  size_t to = 0;
  for (const MessageEdit& edit : edits) {
    std::memmove(bytes + to, bytes + from, edit.from - from);
    to += edit.from - from;
    std::memcpy(bytes + to, edit.bytes.data(), edit.bytes.size());
    to += edit.bytes.size();
    from = edit.to;
  }
  std::memmove(bytes + to, bytes + from, message->size() - from);
  message->resize(to + message->size() - from);
  if (message->size() < message->capacity() / 2) message->shrink_to_fit();
}

}  // namespace

std::vector<MessageEdit> OutermostEdits(std::vector<MessageEdit> edits) {
  std::stable_sort(edits.begin(), edits.end(), [](const MessageEdit& a, const MessageEdit& b) {
    return a.from != b.from ? a.from < b.from : a.to > b.to;
  });
  // In that order an edit lies inside some edit kept before it exactly when
  // it lies inside the one that reaches furthest.
  std::vector<MessageEdit> kept;
  size_t coverFrom = 0;
  size_t coverTo = 0;
  bool cover = false;
  for (MessageEdit& edit : edits) {
    bool insertionAtAnEnd = edit.from == edit.to && (edit.from == coverFrom || edit.from == coverTo);
    if (cover && edit.from >= coverFrom && edit.to <= coverTo && !insertionAtAnEnd) continue;
    if (edit.to > edit.from && (!cover || edit.to > coverTo)) {
      coverFrom = edit.from;
      coverTo = edit.to;
      cover = true;
    }
    kept.push_back(std::move(edit));
  }
  return kept;
}

Status EditedCopy(const std::string& message, std::vector<MessageEdit> edits, std::string* result) {
  size_t size = 0;
  if (Status st = CheckedSize(message, &edits, &size); st != kNoError) return st;
  result->clear();
  result->reserve(size);
  size_t at = 0;
  for (const MessageEdit& edit : edits) {
    result->append(message, at, edit.from - at);
    result->append(edit.bytes);
    at = edit.to;
  }
  result->append(message, at, std::string::npos);
  return kNoError;
}

Status ApplyEdits(std::string* message, std::vector<MessageEdit> edits) {
  size_t size = 0;
  if (Status st = CheckedSize(*message, &edits, &size); st != kNoError) return st;
  auto grows = [](const MessageEdit& e) { return e.bytes.size() >= e.to - e.from; };
  auto shrinks = [](const MessageEdit& e) { return e.bytes.size() <= e.to - e.from; };
  if (std::all_of(edits.begin(), edits.end(), grows)) {
    GrowInPlace(message, edits, size);
  } else if (std::all_of(edits.begin(), edits.end(), shrinks)) {
    ShrinkInPlace(message, edits);
  } else {
    std::string result;
    (void)EditedCopy(*message, std::move(edits), &result);  // checked above
    *message = std::move(result);
  }
  return kNoError;
}

}  // namespace notesapi::host
