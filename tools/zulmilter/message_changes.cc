#include "tools/zulmilter/message_changes.h"

#include <algorithm>
#include <map>
#include <utility>

namespace zulmilter {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The end of the line that starts at `at`, its line end not counted, and
// where the next line starts.
std::pair<size_t, size_t> LineAt(std::string_view text, size_t at) {
  size_t end = text.find('\n', at);
  if (end == std::string_view::npos) return {text.size(), text.size()};
  size_t next = end + 1;
  if (end > at && text[end - 1] == '\r') --end;
  return {end, next};
}

// Each field with its occurrence among fields of the same name (1 the first).
std::vector<std::pair<std::string, int>> Keys(const std::vector<HeaderField>& fields) {
  std::map<std::string, int> seen;
  std::vector<std::pair<std::string, int>> keys;
  for (const HeaderField& field : fields) {
    std::string name = Lower(field.name);
    keys.emplace_back(name, ++seen[name]);
  }
  return keys;
}

}  // namespace

bool SplitMessage(std::string_view message, std::vector<HeaderField>* fields, std::string* body) {
  fields->clear();
  size_t at = 0;
  size_t previousEnd = 0;  // where the line end of the line above begins
  while (at < message.size()) {
    auto [end, next] = LineAt(message, at);
    std::string_view line = message.substr(at, end - at);
    if (line.empty()) {
      body->assign(message.substr(next));
      return !fields->empty();
    }
    if ((line[0] == ' ' || line[0] == '\t') && !fields->empty()) {
      // A folded line belongs to the field above, with the line end between.
      fields->back().value += message.substr(previousEnd, at - previousEnd);
      fields->back().value += line;
    } else {
      size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0) return false;
      fields->push_back({std::string(line.substr(0, colon)), std::string(line.substr(colon + 1))});
    }
    previousEnd = end;
    at = next;
  }
  body->clear();  // a header block without a body
  return !fields->empty();
}

MessageChanges ChangesBetween(std::string_view sent, std::string_view released) {
  MessageChanges changes;
  std::vector<HeaderField> before;
  std::vector<HeaderField> after;
  std::string bodyBefore;
  std::string bodyAfter;
  if (!SplitMessage(sent, &before, &bodyBefore) || !SplitMessage(released, &after, &bodyAfter)) {
    // Nothing to compare field by field: the released body is the whole.
    changes.bodyChanged = sent != released;
    changes.body = std::string(released);
    return changes;
  }
  std::vector<std::pair<std::string, int>> keysBefore = Keys(before);
  std::vector<std::pair<std::string, int>> keysAfter = Keys(after);
  for (size_t i = 0; i < before.size(); ++i) {
    auto match = std::find(keysAfter.begin(), keysAfter.end(), keysBefore[i]);
    if (match == keysAfter.end()) {
      changes.headers.push_back({HeaderChange::Kind::kRemove, before[i].name, keysBefore[i].second, ""});
    } else if (after[static_cast<size_t>(match - keysAfter.begin())].value != before[i].value) {
      changes.headers.push_back({HeaderChange::Kind::kChange, before[i].name, keysBefore[i].second,
                                 after[static_cast<size_t>(match - keysAfter.begin())].value});
    }
  }
  // The MTA counts the fields of a name as they are when each call comes: a
  // removal renumbers those after it, so the last go first.
  std::stable_sort(changes.headers.begin(), changes.headers.end(), [](const HeaderChange& a, const HeaderChange& b) {
    bool aRemoves = a.kind == HeaderChange::Kind::kRemove;
    bool bRemoves = b.kind == HeaderChange::Kind::kRemove;
    if (aRemoves != bRemoves) return bRemoves;
    return aRemoves && a.index > b.index;
  });
  for (size_t i = 0; i < after.size(); ++i) {
    if (std::find(keysBefore.begin(), keysBefore.end(), keysAfter[i]) != keysBefore.end()) continue;
    changes.headers.push_back({HeaderChange::Kind::kInsert, after[i].name, static_cast<int>(i), after[i].value});
  }
  changes.bodyChanged = bodyBefore != bodyAfter;
  if (changes.bodyChanged) changes.body = std::move(bodyAfter);
  return changes;
}

}  // namespace zulmilter
