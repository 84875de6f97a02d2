#include "notesapi/host/mime_import.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>

#include "notesapi/host/internal/gobject_ptr.h"
#include "notesapi/item_values.h"
#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"

namespace notesapi {

namespace {

using host::GPtr;
using host::GText;

constexpr size_t kMaxPartBytes = 0xFFFF;  // the part header counts its data in 16 bits

void InitGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

std::string ToLmbcs(Platform* p, const char* utf8) {
  std::string lmbcs;
  if (utf8 == nullptr) return lmbcs;
  if (p->Translate(kTranslateUtf8ToLmbcs, utf8, &lmbcs) != kNoError) return utf8;
  return lmbcs;
}

// The addresses of a list: "Name <addr>" forms for display, bare addresses for routing.
void Addresses(InternetAddressList* list, std::vector<std::string>* shown, std::vector<std::string>* bare) {
  if (list == nullptr) return;
  for (int i = 0; i < internet_address_list_length(list); ++i) {
    InternetAddress* address = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
      GText text(internet_address_to_string(address, nullptr, FALSE));
      if (shown != nullptr && text) shown->emplace_back(text.get());
      if (bare != nullptr && addr != nullptr) bare->emplace_back(addr);
    } else if (INTERNET_ADDRESS_IS_GROUP(address)) {
      Addresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), shown, bare);
    }
  }
}

Status SetList(Platform* p, NoteHandle note, const char* name, const std::vector<std::string>& entries) {
  if (entries.empty()) return kNoError;
  std::vector<std::string> lmbcs;
  for (const std::string& entry : entries) lmbcs.push_back(ToLmbcs(p, entry.c_str()));
  std::string value;
  if (Status s = EncodeTextListValue(lmbcs, &value); s != kNoError) return s;
  return p->ItemAppend(note, ITEM_SUMMARY, name, value, nullptr);
}

std::string Content(GMimeObject* object) {
  GPtr<GMimeStream> stream(g_mime_stream_mem_new());
  g_mime_object_write_content_to_stream(object, nullptr, stream.get());
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
  return std::string(reinterpret_cast<const char*>(bytes->data), bytes->len);
}

class PartWriter {
 public:
  PartWriter(Platform* p, NoteHandle note, std::u16string scratch) : p_(p), note_(note), scratch_(std::move(scratch)) {}

  Status Write(uint8_t type, const std::string& boundary, const std::string& headers, const std::string& data) {
    uint32_t flags = (boundary.empty() ? 0 : kMimePartHasBoundary) | (headers.empty() ? 0 : kMimePartHasHeaders);
    std::string stored = data;
    if (boundary.size() + headers.size() + data.size() + 22 > kMaxPartBytes) {
      // The content goes to an attachment object; the part names it.
      std::string name = "mimepart" + std::to_string(++largeParts_) + ".dat";
      std::u16string path = scratch_ + u"/" + std::u16string(name.begin(), name.end());
      if (Status s = p_->FileWrite(path, data); s != kNoError) return s;
      Status s = p_->AttachFile(note_, path, name, 1, false, nullptr);
      (void)p_->FileDelete(path);  // the copy is in the database now (or the attach failed)
      if (s != kNoError) return s;
      stored = name;
      flags |= kMimePartBodyInDbObject;
    }
    size_t count = boundary.size() + headers.size() + stored.size();
    if (count > kMaxPartBytes - 22) return kItemTooLarge;  // headers alone beyond one item
    std::string value;
    PutLe16(&value, TYPE_MIME_PART);
    PutLe16(&value, 2);  // version
    PutLe32(&value, flags);
    value.push_back(static_cast<char>(type));
    value.push_back('\0');
    PutLe16(&value, static_cast<uint16_t>(count));
    PutLe16(&value, static_cast<uint16_t>(boundary.size()));
    PutLe16(&value, static_cast<uint16_t>(headers.size()));
    PutLe16(&value, 0);
    PutLe32(&value, 0);
    value += boundary + headers + stored;
    return p_->ItemAppend(note_, ITEM_SIGN, "Body", value, nullptr);
  }

  // The root part's headers are the message's own, written with it.
  Status Walk(GMimeObject* object, const std::string& boundaryLine, int depth) {
    if (depth > 64) return kBadArgument;  // nesting no real mail has
    GText headerText(g_mime_object_get_headers(object, nullptr));
    std::string headers = depth == 0 ? std::string() : std::string(headerText ? headerText.get() : "") + "\n";
    if (GMIME_IS_MULTIPART(object)) {
      GMimeMultipart* multipart = GMIME_MULTIPART(object);
      const char* prologue = g_mime_multipart_get_prologue(multipart);
      std::string prolog = prologue != nullptr ? std::string(prologue) + "\n" : std::string();
      if (Status s = Write(kMimePartProlog, boundaryLine, headers, prolog); s != kNoError) return s;
      const char* boundary = g_mime_multipart_get_boundary(multipart);
      std::string marker = boundary != nullptr ? boundary : "";
      for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
        // The line break before a boundary belongs to the boundary.
        if (Status s = Walk(g_mime_multipart_get_part(multipart, i), "\n--" + marker + "\n", depth + 1); s != kNoError) {
          return s;
        }
      }
      const char* epilogue = g_mime_multipart_get_epilogue(multipart);
      return Write(kMimePartEpilog, "\n--" + marker + "--\n", "", epilogue != nullptr ? epilogue : "");
    }
    return Write(kMimePartBody, boundaryLine, headers, Content(object));
  }

 private:
  Platform* p_;
  NoteHandle note_;
  std::u16string scratch_;
  int largeParts_ = 0;
};

}  // namespace

Status ImportMimeMessage(Platform* p, DbHandle db, std::string_view rfc822, bool hold,
                         const std::u16string& scratchFolder, ImportedMessage* imported) {
  InitGMime();
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(rfc822.data(), rfc822.size()));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
  if (!message || g_mime_message_get_mime_part(message.get()) == nullptr) return kBadArgument;

  ScopedNote note(p);
  if (Status s = p->NoteCreate(db, note.put()); s != kNoError) return s;
  std::vector<std::string> from, fromBare, to, cc, bcc, recipients;
  Addresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_FROM), &from, &fromBare);
  Addresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_TO), &to, &recipients);
  Addresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_CC), &cc, &recipients);
  Addresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_BCC), &bcc, &recipients);
  TimeDate posted = p->TimeNow();
  if (GDateTime* date = g_mime_message_get_date(message.get())) {
    int64_t micros = static_cast<int64_t>(g_date_time_to_unix(date)) * 1000000;
    int64_t days = micros / 86400000000LL;
    posted.innards[1] = static_cast<uint32_t>(days + kJulianDayOfUnixEpoch);
    posted.innards[0] = static_cast<uint32_t>((micros - days * 86400000000LL) / 10000);
  }
  Status s = p->ItemSetText(note.get(), "Form", "Memo");
  if (s == kNoError) s = p->ItemSetText(note.get(), "MIME_Version", "1.0");
  if (s == kNoError && !from.empty()) s = p->ItemSetText(note.get(), "From", ToLmbcs(p, from[0].c_str()));
  if (s == kNoError && !fromBare.empty()) s = p->ItemSetText(note.get(), "SMTPOriginator", fromBare[0]);
  if (s == kNoError) s = SetList(p, note.get(), "SendTo", to);
  if (s == kNoError) s = SetList(p, note.get(), "CopyTo", cc);
  if (s == kNoError) s = SetList(p, note.get(), "BlindCopyTo", bcc);
  if (s == kNoError) s = SetList(p, note.get(), "Recipients", recipients);
  if (s == kNoError) s = p->ItemSetText(note.get(), "Subject", ToLmbcs(p, g_mime_message_get_subject(message.get())));
  if (s == kNoError) s = p->ItemSetTime(note.get(), "PostedDate", posted);
  if (s == kNoError && hold) s = p->ItemSetText(note.get(), "RoutingState", "HOLD");
  if (s != kNoError) return s;

  PartWriter writer(p, note.get(), scratchFolder);
  GText headerText(g_mime_object_get_headers(GMIME_OBJECT(message.get()), nullptr));
  std::string headers = std::string(headerText ? headerText.get() : "") + "\n";
  if (Status w = writer.Write(kMimePartMessage, "", headers, ""); w != kNoError) return w;
  if (Status w = writer.Walk(g_mime_message_get_mime_part(message.get()), "", 0); w != kNoError) return w;
  if (Status w = p->NoteUpdate(note.get(), kUpdateForce); w != kNoError) return w;
  NoteInfo info;
  if (Status w = p->NoteGetInfo(note.get(), &info); w != kNoError) return w;
  imported->noteId = info.noteId;
  imported->recipients = recipients;
  return kNoError;
}

Status AppendMimePart(Platform* p, std::string_view stored, const ReadPartObject& readObject, std::string* message,
                      std::string* objectName) {
  if (objectName != nullptr) objectName->clear();
  size_t offset = 0;
  std::string memory;
  if (Status s = p->ReadStructure(kStructMimePart, stored, &offset, &memory); s != kNoError) return s;
  MimePartHeader header;
  if (Status s = ParseMimePartHeader(memory, &header); s != kNoError) return s;
  size_t prefix = size_t{header.boundaryLength} + header.headersLength;
  if (stored.size() - offset < header.byteCount || prefix > header.byteCount) return kValueTooShort;
  std::string_view data = stored.substr(offset, header.byteCount);
  message->append(data.substr(0, prefix));
  std::string_view body = data.substr(prefix);
  if (!(header.flags & kMimePartBodyInDbObject)) {
    message->append(body);
    return kNoError;
  }
  if (objectName != nullptr) objectName->assign(body);
  std::string content;
  if (Status s = readObject(body, &content); s != kNoError) return s;
  message->append(content);
  return kNoError;
}

Status ExportMimeMessage(Platform* p, NoteHandle note, const std::u16string& scratchFolder, std::string* rfc822) {
  // Large part contents come back through a temporary copy of their attachment.
  auto readObject = [&](std::string_view name, std::string* data) -> Status {
    ItemInfo file;
    for (Status f = p->ItemInfoByName(note, "$FILE", &file); f == kNoError;
         f = p->ItemInfoNext(note, file.item, "$FILE", &file)) {
      std::string fileValue;
      FileObject object;
      if (p->ItemValue(file.value, &fileValue) != kNoError || fileValue.size() < 2 ||
          ParseFileObject(std::string_view(fileValue).substr(2), &object) != kNoError) {
        continue;
      }
      if (fileValue.substr(2 + 36, object.fileNameLength) != name) continue;
      std::u16string temporary = scratchFolder + u"/export-" + std::u16string(name.begin(), name.end());
      if (Status x = p->ExtractFile(note, file.item, temporary); x != kNoError) return x;
      Status r = p->FileRead(temporary, data);
      (void)p->FileDelete(temporary);  // a temporary copy
      return r;
    }
    return kItemNotFound;
  };
  std::string out;
  ItemInfo item;
  for (Status s = p->ItemInfoByName(note, "Body", &item); s == kNoError;
       s = p->ItemInfoNext(note, item.item, "Body", &item)) {
    if (item.type != TYPE_MIME_PART) continue;
    std::string value;
    if (Status v = p->ItemValue(item.value, &value); v != kNoError) return v;
    if (value.size() < 2) return kValueTooShort;
    if (Status v = AppendMimePart(p, std::string_view(value).substr(2), readObject, &out, nullptr); v != kNoError) {
      return v;
    }
  }
  if (out.empty()) return kItemNotFound;
  *rfc822 = std::move(out);
  return kNoError;
}

}  // namespace notesapi
