// The items of a stored note as rows: a save writes only the rows that
// differ from what the database holds, leaving the others where they are.
#include "notesapi/host/internal/note_database.h"

#include <vector>

namespace notesapi::host {

namespace {

// Stored items are ordered by position, spaced so that an item added or
// changed between two kept ones finds a free position there.
constexpr int64_t kPositionStep = 1024;

bool SameItem(const StoredItem& item, std::string_view name, int64_t flags, std::string_view value) {
  return item.flags == flags && item.name.size() == name.size() && item.value.size() == value.size() &&
         item.name == name && item.value == value;
}

}  // namespace

Status NoteDatabase::WriteItems(NoteId id, const std::vector<StoredItem>& items, bool stored) {
  std::vector<int64_t> positions(items.size(), -1);
  std::vector<bool> changed(items.size(), true);
  if (stored) {
    Status s = KeptPositions(id, items, &positions, &changed);
    if (s == kItemNotFound) return RewriteItems(id, items);  // no free position where one is needed
    if (s != kNoError) return s;
  }
  SqliteStatement insert;
  Status s = insert.Prepare(&db_, "INSERT INTO items(note_id, position, name, flags, value) VALUES(?, ?, ?, ?, ?)");
  if (s != kNoError) return s;
  for (size_t i = 0; i < items.size(); ++i) {
    if (!changed[i]) continue;
    insert.Reset();
    insert.BindInt(1, id);
    insert.BindInt(2, stored ? positions[i] : static_cast<int64_t>(i) * kPositionStep);
    insert.BindBlob(3, items[i].name);
    insert.BindInt(4, items[i].flags);
    insert.BindBlobInPlace(5, items[i].value);
    if (s = insert.Run(); s != kNoError) return s;
  }
  return kNoError;
}

// Walks the stored rows beside the items: a row equal to the next item is
// kept where it is; one that is not is deleted. Items between two kept rows
// get free positions between them; kItemNotFound when there are too few.
Status NoteDatabase::KeptPositions(NoteId id, const std::vector<StoredItem>& items, std::vector<int64_t>* positions,
                                   std::vector<bool>* changed) {
  std::vector<int64_t> deleted;
  {
    SqliteStatement rows;
    Status s = rows.Prepare(&db_, "SELECT position, name, flags, value FROM items WHERE note_id = ? ORDER BY position");
    if (s != kNoError) return s;
    rows.BindInt(1, id);
    size_t next = 0;
    for (bool more = true;;) {
      if (s = rows.Step(&more); s != kNoError) return s;
      if (!more) break;
      int64_t position = rows.ColumnInt(0);
      std::string_view name = rows.ColumnBlobView(1);
      int64_t flags = rows.ColumnInt(2);
      std::string_view value = rows.ColumnBlobView(3);
      if (next < items.size() && SameItem(items[next], name, flags, value)) {
        (*positions)[next] = position;
        (*changed)[next++] = false;
      } else if (next + 1 < items.size() && SameItem(items[next + 1], name, flags, value)) {
        (*positions)[next + 1] = position;  // the item before it is new or changed
        (*changed)[next + 1] = false;
        next += 2;
      } else {
        deleted.push_back(position);
      }
    }
  }
  int64_t low = -1;
  for (size_t i = 0; i < items.size();) {
    if ((*positions)[i] >= 0) {
      low = (*positions)[i++];
      continue;
    }
    size_t end = i;
    while (end < items.size() && (*positions)[end] < 0) ++end;
    int64_t high = end < items.size() ? (*positions)[end] : low + static_cast<int64_t>(end - i + 1) * kPositionStep;
    int64_t room = high - low - 1;
    if (room < static_cast<int64_t>(end - i)) return kItemNotFound;
    int64_t step = room / static_cast<int64_t>(end - i + 1);
    for (size_t k = i; k < end; ++k) {
      (*positions)[k] = low + step * static_cast<int64_t>(k - i + 1);
    }
    low = (*positions)[end - 1];
    i = end;
  }
  SqliteStatement remove;
  Status s = remove.Prepare(&db_, "DELETE FROM items WHERE note_id = ? AND position = ?");
  if (s != kNoError) return s;
  for (int64_t position : deleted) {
    remove.Reset();
    remove.BindInt(1, id);
    remove.BindInt(2, position);
    if (s = remove.Run(); s != kNoError) return s;
  }
  return kNoError;
}

// Every item anew, spaced again: for a note whose items moved too much.
Status NoteDatabase::RewriteItems(NoteId id, const std::vector<StoredItem>& items) {
  SqliteStatement clear;
  if (Status s = clear.Prepare(&db_, "DELETE FROM items WHERE note_id = ?"); s != kNoError) return s;
  clear.BindInt(1, id);
  if (Status s = clear.Run(); s != kNoError) return s;
  return WriteItems(id, items, false);
}

}  // namespace notesapi::host
