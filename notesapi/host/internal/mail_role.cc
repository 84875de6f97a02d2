#include "notesapi/host/internal/mail_role.h"

#include <algorithm>
#include <vector>

#include "notesapi/item_values.h"
#include "notesapi/scoped_handles.h"

namespace notesapi::host {

Status MailRole::CanonicalizeName(std::string_view name, std::string* canonical) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string_view::npos) slash = name.size();
    parts.emplace_back(name.substr(start, slash - start));
    start = slash + 1;
  }
  bool alreadyCanonical = std::any_of(parts.begin(), parts.end(), [](const std::string& part) {
    size_t eq = part.find('=');
    return eq != std::string::npos && eq > 0 && eq <= 2;
  });
  if (parts.size() < 2 || alreadyCanonical) {
    *canonical = std::string(name);
    return kNoError;
  }
  for (const std::string& part : parts) {
    if (part.empty()) return kBadArgument;
  }
  // A last part of two letters is the country.
  bool country = parts.size() >= 3 && parts.back().size() == 2;
  size_t organisation = parts.size() - (country ? 2 : 1);
  std::string out = "CN=" + parts[0];
  for (size_t i = 1; i < parts.size(); ++i) {
    const char* prefix = i == organisation ? "/O=" : (country && i == parts.size() - 1) ? "/C=" : "/OU=";
    out += prefix + parts[i];
  }
  *canonical = std::move(out);
  return kNoError;
}

Status MailRole::MailCreateMessage(DbHandle mailDb, NoteHandle* message) {
  Platform* p = s_.platform;
  NoteHandle note = kNullHandle;
  if (Status st = p->NoteCreate(mailDb, &note); st != kNoError) return st;
  if (Status st = p->ItemSetText(note, "Form", "Memo"); st != kNoError) {
    (void)p->NoteClose(note);  // just created: nothing else holds it
    return st;
  }
  *message = note;
  return kNoError;
}

Status MailRole::MailTransferMessage(NoteHandle message) {
  Platform* p = s_.platform;
  OpenNote* source = s_.FindNote(message);
  if (source == nullptr) return kInvalidHandle;
  Status created = p->DbCreate("mail.box", "Mail box");
  if (created != kNoError && created != kDatabaseExists) return created;
  ScopedDb box(p);
  if (Status st = p->DbOpen("mail.box", box.put()); st != kNoError) return st;
  ScopedNote copy(p);
  Status st = p->NoteCreate(box.get(), copy.put());
  for (size_t i = 0; st == kNoError && i < source->note.items.size(); ++i) {
    const StoredItem& item = source->note.items[i];
    uint16_t type = 0;
    (void)ValueType(item.value, &type);  // too short: copied as it is
    if (type == TYPE_OBJECT) {
      std::string name;
      std::string data;
      if (ReadAttachment(s_, message, item, &name, &data)) {
        st = AttachData(s_, copy.get(), std::move(data), name, 1, false, nullptr);
      }
      continue;
    }
    StoredItem duplicate = item;
    st = AppendItem(s_, copy.get(), duplicate.flags, duplicate.name, std::move(duplicate.value), nullptr);
  }
  TimeDate posted;
  if (st == kNoError && !p->ItemGetTime(copy.get(), "PostedDate", &posted)) {
    st = p->ItemSetTime(copy.get(), "PostedDate", p->TimeNow());
  }
  if (st == kNoError) st = p->NoteUpdate(copy.get(), kUpdateForce);
  return st;  // the copy is closed, saved or given up, and the box with it
}

Status MailRole::ServerName(std::string* name) {
  std::string value;
  if (!s_.platform->IniGetText("ServerName", 1023, &value) || value.empty()) return kItemNotFound;
  *name = std::move(value);
  return kNoError;
}

}  // namespace notesapi::host
