#include "notesapi/host/memo_export.h"

#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "notesapi/scoped_handles.h"
#include "notesapi/stored_structures.h"

namespace notesapi {

namespace {

constexpr char kBoundary[] = "=_tervala_memo_part_boundary";

// Base64 in lines of 76 characters, each ending in a line feed.
std::string Base64Lines(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::string out(GMIME_BASE64_ENCODE_LEN(bytes.size()), '\0');
  int state = 0;
  guint32 save = 0;
  size_t length = g_mime_encoding_base64_encode_close(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                      bytes.size(), reinterpret_cast<unsigned char*>(out.data()),
                                                      &state, &save);
  out.resize(length);
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\n' || c == '\r') return false;
  }
  return true;
}

// A header text: as it is when plain ASCII, else RFC 2047 encoded words of
// at most 75 characters, each ending on a whole character, folded apart.
std::string HeaderText(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  constexpr size_t kMaxWordBytes = 45;  // 60 base64 characters in a word of 72
  std::string out;
  for (size_t at = 0; at < utf8.size();) {
    size_t end = std::min(utf8.size(), at + kMaxWordBytes);
    while (end < utf8.size() && end > at + 1 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
    std::string b64 = Base64Lines(utf8.substr(at, end - at));
    b64.erase(std::remove(b64.begin(), b64.end(), '\n'), b64.end());
    if (!out.empty()) out += "\n ";
    out += "=?UTF-8?B?" + b64 + "?=";
    at = end;
  }
  return out;
}

// An address: only its display name is encoded, so the address itself is
// never inside an encoded word and stays one a client can reply to.
std::string AddressText(std::string_view utf8) {
  size_t open = utf8.rfind('<');
  if (IsAscii(utf8) || open == std::string_view::npos || utf8.back() != '>') return HeaderText(utf8);
  std::string_view name = utf8.substr(0, open);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  return HeaderText(name) + " " + std::string(utf8.substr(open));
}

std::string Utf8(Platform* p, std::string_view lmbcs) {
  std::string utf8;
  return p->Translate(kTranslateLmbcsToUtf8, lmbcs, &utf8) == kNoError ? utf8 : std::string(lmbcs);
}

// A text or text-list item as one header value: its entries (UTF-8),
// each through `form`, joined by `separator`.
std::string ListText(Platform* p, NoteHandle note, const char* name, const char* separator,
                     std::string (*form)(std::string_view)) {
  std::string joined;
  uint16_t count = p->ItemTextListCount(note, name);
  for (uint16_t i = 0; i < count; ++i) {
    std::string entry;
    if (p->ItemTextListEntry(note, name, i, &entry) != kNoError) break;
    if (!joined.empty()) joined += separator;
    joined += form(Utf8(p, entry));
  }
  return joined;
}

std::string AsItIs(std::string_view text) { return std::string(text); }

// An address list item as a header value, each address encoded on its own.
std::string AddressList(Platform* p, NoteHandle note, const char* name) {
  return ListText(p, note, name, ",\n ", AddressText);
}

// The address memos come from: notes.ini ZulNotifyFrom, else postmaster at
// this host.
std::string NotifyAddress(Platform* p) {
  std::string address;
  if (p->IniGetText("ZulNotifyFrom", 255, &address) && address.find('@') != std::string::npos) return address;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::snprintf(host, sizeof host, "localhost");
  return std::string("postmaster@") + host;
}

std::string Domain(const std::string& address) { return address.substr(address.rfind('@') + 1); }

// RFC 5322 date of a note time (UTC).
std::string MailDate(const TimeDate& time) {
  int64_t days = static_cast<int64_t>(time.innards[1] & 0x00FFFFFF) - kJulianDayOfUnixEpoch;
  std::time_t seconds = static_cast<std::time_t>(days * 86400 + time.innards[0] / 100);
  std::tm utc{};
  if (::gmtime_r(&seconds, &utc) == nullptr) return {};
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return text;
}

Status BodyText(Platform* p, NoteHandle note, std::string* text) {
  ItemInfo item;
  for (Status s = p->ItemInfoByName(note, "Body", &item); s == kNoError;
       s = p->ItemInfoNext(note, item.item, "Body", &item)) {
    if (item.type == TYPE_TEXT) {
      std::string plain;
      if (p->ItemGetText(note, "Body", 65535, &plain) == kNoError) text->append(plain);
      continue;
    }
    if (item.type != TYPE_COMPOSITE) continue;
    MemHandle block = kNullHandle;
    uint32_t length = 0;
    if (Status c = p->ConvertRichTextToText(item.value, "\n", 0, &block, &length); c != kNoError) return c;
    ScopedMem owner(p, block);
    text->append(reinterpret_cast<const char*>(p->MemLock(block)), length);
    p->MemUnlock(block);
  }
  *text = Utf8(p, *text);
  return kNoError;
}

}  // namespace

Status ComposeMemoMessage(Platform* p, NoteHandle note, const std::u16string& scratchFolder, std::string* rfc822) {
  std::string out;
  auto header = [&](const char* name, const std::string& encoded) {
    if (!encoded.empty()) out += std::string(name) + ": " + encoded + "\n";
  };
  std::string from = AddressList(p, note, "From");
  std::string notifier = NotifyAddress(p);
  // A memo of the server's own names a sender with an address.
  if (from.find('@') == std::string::npos) from = (from.empty() ? std::string() : from + " ") + "<" + notifier + ">";
  TimeDate posted;
  if (!p->ItemGetTime(note, "PostedDate", &posted)) posted = p->TimeNow();
  NoteInfo info;
  (void)p->NoteGetInfo(note, &info);  // an unsaved memo has no note ID yet; its UNID is enough
  char id[96];
  std::snprintf(id, sizeof id, "<%08X%08X.%08X%08X.%X@%s>", info.unid.file.innards[1], info.unid.file.innards[0],
                info.unid.note.innards[1], info.unid.note.innards[0], info.noteId, Domain(notifier).c_str());
  header("From", from);
  header("To", AddressList(p, note, "SendTo"));
  header("Cc", AddressList(p, note, "CopyTo"));
  header("Subject", HeaderText(ListText(p, note, "Subject", ", ", AsItIs)));
  header("Date", MailDate(posted));
  header("Message-ID", id);
  header("Auto-Submitted", "auto-generated");
  out += "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + std::string(kBoundary) + "\"\n\n";
  std::string body;
  if (Status s = BodyText(p, note, &body); s != kNoError) return s;
  out += "--" + std::string(kBoundary) + "\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n";
  out += body;
  if (!body.empty() && body.back() != '\n') out += '\n';
  ItemInfo file;
  for (Status s = p->ItemInfoByName(note, "$FILE", &file); s == kNoError;
       s = p->ItemInfoNext(note, file.item, "$FILE", &file)) {
    std::string value;
    FileObject object;
    if (Status v = p->ItemValue(file.value, &value); v != kNoError) return v;
    std::string_view stored;
    if (AttachmentName(value, &object, &stored) != kNoError) {
      return kValueTooShort;  // never a message that silently lacks an attachment
    }
    std::string name = Utf8(p, std::string(stored));
    std::u16string temporary = scratchFolder + u"/memo-export.tmp";
    if (Status x = p->ExtractFile(note, file.item, temporary); x != kNoError) return x;
    std::string data;
    Status r = p->FileRead(temporary, &data);
    (void)p->FileDelete(temporary);
    if (r != kNoError) return r;
    out += "--" + std::string(kBoundary) + "\nContent-Type: application/octet-stream; name=\"" + HeaderText(name) +
           "\"\nContent-Disposition: attachment; filename=\"" + HeaderText(name) +
           "\"\nContent-Transfer-Encoding: base64\n\n" + Base64Lines(data);
  }
  out += "--" + std::string(kBoundary) + "--\n";
  *rfc822 = std::move(out);
  return kNoError;
}

}  // namespace notesapi
