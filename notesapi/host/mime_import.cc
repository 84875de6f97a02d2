#include "notesapi/host/mime_import.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>

#include "notesapi/host/memo_export.h"
#include "notesapi/host/internal/encoded_words.h"
#include "notesapi/host/internal/gobject_ptr.h"
#include "notesapi/host/internal/mime_structure.h"
#include "notesapi/item_values.h"
#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"

namespace notesapi {

namespace {

using host::GPtr;
using host::GText;

constexpr size_t kMaxPartBytes = 0xFFFF;  // the part header counts its data in 16 bits
constexpr size_t kPartHeaderBytes = 20;
constexpr size_t kMaxListBytes = 0xFFFF;  // one text-list item; longer lists take several

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
      if (bare != nullptr && addr != nullptr && *addr != '\0') bare->emplace_back(addr);
    } else if (INTERNET_ADDRESS_IS_GROUP(address)) {
      Addresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), shown, bare);
    }
  }
}

// A text list of any length: as many items of the name as it takes.
Status SetList(Platform* p, NoteHandle note, const char* name, const std::vector<std::string>& entries) {
  std::vector<std::string> chunk;
  size_t bytes = 2;
  auto flush = [&]() -> Status {
    if (chunk.empty()) return kNoError;
    std::string value;
    if (Status s = EncodeTextListValue(chunk, &value); s != kNoError) return s;
    chunk.clear();
    bytes = 2;
    return p->ItemAppend(note, ITEM_SUMMARY, name, value, nullptr);
  };
  for (const std::string& entry : entries) {
    std::string lmbcs = ToLmbcs(p, entry.c_str());
    if (lmbcs.size() + 2 > kMaxListBytes - 2) lmbcs.resize(kMaxListBytes - 6);  // no address is that long
    if (bytes + lmbcs.size() + 2 > kMaxListBytes || chunk.size() == 0xFFFF) {
      if (Status s = flush(); s != kNoError) return s;
    }
    bytes += lmbcs.size() + 2;
    chunk.push_back(std::move(lmbcs));
  }
  return flush();
}

// Summary text: NUL and other control bytes are no part of what a reader sees.
std::string SummaryText(const char* text) {
  std::string out;
  if (text == nullptr) return out;
  for (const char* c = text; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) >= 0x20 || *c == '\t') out.push_back(*c);
  }
  return out;
}

std::string NativeCharset(Platform* p) {
  std::string name;
  if (!p->IniGetText("ZulNativeCodePage", 64, &name) || name.empty()) name = "windows-1251";
  return name;
}

// Why the bytes are not a mail message at all, or empty when they are one.
std::string RefusalOf(std::string_view rfc822) {
  if (rfc822.empty()) return "empty file";
  size_t start = 0;
  if (rfc822.substr(0, 5) == "From ") {  // an mbox separator line
    size_t feed = rfc822.find('\n');
    start = feed == std::string_view::npos ? rfc822.size() : feed + 1;
  }
  std::string_view first = rfc822.substr(start, rfc822.find('\n', start) - start);
  if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
  return host::IsHeaderLine(first) ? std::string() : "no header lines";
}

class PartWriter {
 public:
  PartWriter(Platform* p, NoteHandle note, std::u16string scratch) : p_(p), note_(note), scratch_(std::move(scratch)) {}

  Status Write(uint8_t type, std::string_view bytes, size_t boundaryLength, size_t headersLength) {
    std::string_view boundary = bytes.substr(0, boundaryLength);
    std::string_view headers = bytes.substr(boundaryLength, headersLength);
    std::string_view data = bytes.substr(boundaryLength + headersLength);
    uint32_t flags = (boundary.empty() ? 0 : kMimePartHasBoundary) | (headers.empty() ? 0 : kMimePartHasHeaders);
    std::string stored;  // the part itself only when it fits in the item
    if (bytes.size() <= kMaxPartBytes) {
      stored = bytes;
    } else {
      // The content goes to an attachment object that the part names; when
      // even the delimiter and headers are too long, the whole part does.
      bool whole = boundary.size() + headers.size() + 32 > kMaxPartBytes;
      std::string name;
      if (Status s = StoreObject(whole ? bytes : data, &name); s != kNoError) return s;
      flags |= kMimePartBodyInDbObject;
      if (whole) {
        flags |= kMimePartHeadersInDbObject;
        boundary = headers = std::string_view();
        stored = name;
      } else {
        stored = std::string(boundary) + std::string(headers) + name;
      }
    }
    std::string value;
    PutLe16(&value, TYPE_MIME_PART);
    PutLe16(&value, 2);  // version
    PutLe32(&value, flags);
    value.push_back(static_cast<char>(type));
    value.push_back('\0');
    PutLe16(&value, static_cast<uint16_t>(stored.size()));
    PutLe16(&value, static_cast<uint16_t>(boundary.size()));
    PutLe16(&value, static_cast<uint16_t>(headers.size()));
    PutLe16(&value, 0);
    PutLe32(&value, 0);
    value += stored;
    return p_->ItemAppend(note_, ITEM_SIGN, "Body", value, nullptr);
  }

 private:
  Status StoreObject(std::string_view data, std::string* name) {
    *name = "mimepart" + std::to_string(++objects_) + ".dat";
    std::string file = *name + "-" + std::to_string(p_->ProcessId());
    std::u16string path = scratch_ + u"/" + std::u16string(file.begin(), file.end());
    if (Status s = p_->FileWrite(path, data); s != kNoError) {
      (void)p_->FileDelete(path);  // a partial copy
      return s;
    }
    Status s = p_->AttachFile(note_, path, *name, 1, false, nullptr);
    (void)p_->FileDelete(path);  // the copy is in the database now (or the attach failed)
    return s;
  }

  Platform* p_;
  NoteHandle note_;
  std::u16string scratch_;
  int objects_ = 0;
};

// Every stored part in order; together exactly the message.
Status WriteParts(Platform* p, NoteHandle note, std::string_view rfc822, const host::MimeStructure& structure,
                  const std::u16string& scratch) {
  std::vector<host::MimeSegment> segments = host::MimeSegments(structure);
  size_t expected = 0;
  for (const host::MimeSegment& segment : segments) {
    if (segment.start != expected) {
      segments.clear();
      break;
    }
    expected = segment.end;
  }
  if (expected != rfc822.size()) segments.clear();
  // Should the tiling ever not hold, the message is stored as one part:
  // never a byte lost.
  if (segments.empty()) segments.push_back(host::MimeSegment{kMimePartBody, 0, 0, 0, rfc822.size()});
  PartWriter writer(p, note, scratch);
  for (const host::MimeSegment& segment : segments) {
    std::string_view bytes = rfc822.substr(segment.start, segment.end - segment.start);
    if (Status s = writer.Write(segment.partType, bytes, segment.boundaryLength, segment.headersLength);
        s != kNoError) {
      return s;
    }
  }
  return kNoError;
}

// The summary items of the message's own header block.
Status WriteSummary(Platform* p, NoteHandle note, std::string_view headerBlock, bool hold, const MessageEnvelope* envelope,
                    std::vector<std::string>* recipients) {
  InitGMime();
  if (headerBlock.substr(0, 5) == "From ") {  // the mbox separator is no header
    size_t feed = headerBlock.find('\n');
    headerBlock.remove_prefix(feed == std::string_view::npos ? headerBlock.size() : feed + 1);
  }
  std::string text;
  for (char c : headerBlock) {
    if (c != '\0') text.push_back(c);
  }
  text += "\n\n";
  GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  GMimeParserOptions* options = g_mime_parser_options_new();
  std::string native = NativeCharset(p);
  const char* fallback[] = {"UTF-8", native.c_str(), nullptr};
  g_mime_parser_options_set_fallback_charsets(options, fallback);
  g_mime_parser_options_set_rfc2047_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
  g_mime_parser_options_set_address_compliance_mode(options, GMIME_RFC_COMPLIANCE_LOOSE);
  GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), options));
  g_mime_parser_options_free(options);
  std::vector<std::string> from, fromBare, to, cc, bcc;
  if (message) {
    Addresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_FROM), &from, &fromBare);
    Addresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_TO), &to, recipients);
    Addresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_CC), &cc, recipients);
    Addresses(g_mime_message_get_addresses(message.get(), GMIME_ADDRESS_TYPE_BCC), &bcc, recipients);
  }
  if (envelope != nullptr) {
    // The MTA's envelope decides who gets the mail, not the headers.
    *recipients = envelope->recipients;
    fromBare = {envelope->sender};
  }
  TimeDate posted = p->TimeNow();
  if (GDateTime* date = message ? g_mime_message_get_date(message.get()) : nullptr) {
    int64_t micros = static_cast<int64_t>(g_date_time_to_unix(date)) * 1000000;
    int64_t days = micros / 86400000000LL;
    posted.innards[1] = static_cast<uint32_t>(days + kJulianDayOfUnixEpoch);
    posted.innards[0] = static_cast<uint32_t>((micros - days * 86400000000LL) / 10000);
  }
  // GMime joins adjacent encoded words before decoding them, so one word's
  // padding would end the whole subject: each word is decoded on its own.
  std::string subject;
  if (GMimeHeader* header = message ? g_mime_header_list_get_header(
                                          g_mime_object_get_header_list(GMIME_OBJECT(message.get())), "Subject")
                                    : nullptr) {
    const char* raw = g_mime_header_get_raw_value(header);
    subject = SummaryText(host::DecodeHeaderText(raw == nullptr ? "" : raw, native).c_str());
  }
  Status s = p->ItemSetText(note, "Form", "Memo");
  if (s == kNoError) s = p->ItemSetText(note, "MIME_Version", "1.0");
  if (s == kNoError && !from.empty()) s = p->ItemSetText(note, "From", ToLmbcs(p, SummaryText(from[0].c_str()).c_str()));
  if (s == kNoError && !fromBare.empty() && !fromBare[0].empty()) {
    s = p->ItemSetText(note, "SMTPOriginator", SummaryText(fromBare[0].c_str()));
  }
  if (s == kNoError) s = SetList(p, note, "SendTo", to);
  if (s == kNoError) s = SetList(p, note, "CopyTo", cc);
  if (s == kNoError) s = SetList(p, note, "BlindCopyTo", bcc);
  if (s == kNoError) s = SetList(p, note, "Recipients", *recipients);
  if (s == kNoError) s = p->ItemSetText(note, "Subject", ToLmbcs(p, subject.c_str()));
  if (s == kNoError) s = p->ItemSetTime(note, "PostedDate", posted);
  if (s == kNoError && hold) s = p->ItemSetText(note, "RoutingState", "HOLD");
  return s;
}

}  // namespace

Status ImportMimeMessage(Platform* p, DbHandle db, std::string_view rfc822, bool hold,
                         const std::u16string& scratchFolder, ImportedMessage* imported) {
  return ImportMimeMessage(p, db, rfc822, hold, scratchFolder, nullptr, imported);
}

Status ImportMimeMessage(Platform* p, DbHandle db, std::string_view rfc822, bool hold, const std::u16string& scratchFolder,
                         const MessageEnvelope* envelope, ImportedMessage* imported) {
  imported->refusal = RefusalOf(rfc822);
  if (!imported->refusal.empty()) return kNotAMessage;
  host::MimeStructure structure;
  host::ParseMimeStructure(rfc822, NativeCharset(p), &structure);
  const host::MimeEntity& root = structure.entities.front();
  ScopedNote note(p);
  if (Status s = p->NoteCreate(db, note.put()); s != kNoError) return s;
  std::vector<std::string> recipients;
  if (Status s = WriteSummary(p, note.get(), rfc822.substr(0, root.headersEnd), hold, envelope, &recipients);
      s != kNoError) {
    return s;
  }
  // Recipient lists are counted in 16 bits where mail is routed: a longer
  // one is refused whole, never carried in part.
  if (recipients.size() > kMaxRecipients) {
    imported->refusal = std::to_string(recipients.size()) + " recipients; at most " + std::to_string(kMaxRecipients) +
                        " can be carried";
    return kTooManyRecipients;
  }
  if (Status s = WriteParts(p, note.get(), rfc822, structure, scratchFolder); s != kNoError) return s;
  if (Status s = p->NoteUpdate(note.get(), kUpdateForce); s != kNoError) return s;
  NoteInfo info;
  if (Status s = p->NoteGetInfo(note.get(), &info); s != kNoError) return s;
  imported->noteId = info.noteId;
  imported->recipients = std::move(recipients);
  return kNoError;
}

Status WriteMimeParts(Platform* p, NoteHandle note, std::string_view rfc822, const std::u16string& scratchFolder) {
  host::MimeStructure structure;
  host::ParseMimeStructure(rfc822, NativeCharset(p), &structure);
  return WriteParts(p, note, rfc822, structure, scratchFolder);
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
  size_t before = message->size();
  Status s = readObject(body, message);
  if (s != kNoError) message->resize(before);
  return s;
}

Status ExportMimeMessage(Platform* p, NoteHandle note, const std::u16string& scratchFolder, std::string* rfc822) {
  // Large part contents come back through a temporary copy of their attachment.
  auto readObject = [&](std::string_view name, std::string* data) -> Status {
    ItemInfo file;
    for (Status f = p->ItemInfoByName(note, "$FILE", &file); f == kNoError;
         f = p->ItemInfoNext(note, file.item, "$FILE", &file)) {
      std::string fileValue;
      FileObject object;
      std::string_view stored;
      if (p->ItemValue(file.value, &fileValue) != kNoError || AttachmentName(fileValue, &object, &stored) != kNoError ||
          stored != name) {
        continue;
      }
      std::u16string temporary = scratchFolder + u"/export-" + std::u16string(name.begin(), name.end());
      if (Status x = p->ExtractFile(note, file.item, temporary); x != kNoError) return x;
      std::string content;
      Status r = p->FileRead(temporary, &content);
      (void)p->FileDelete(temporary);  // a temporary copy
      if (r == kNoError) data->append(content);
      return r;
    }
    return kItemNotFound;
  };
  std::string out;
  bool any = false;
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
    any = true;
  }
  // A memo, or mail the scan changed and saved as its readers see it.
  if (!any) return ComposeMemoMessage(p, note, scratchFolder, rfc822);
  *rfc822 = std::move(out);
  return kNoError;
}

}  // namespace notesapi
