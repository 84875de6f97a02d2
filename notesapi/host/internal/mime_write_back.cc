#include "notesapi/host/internal/mime_write_back.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "notesapi/host/internal/message_edits.h"
#include "notesapi/host/internal/mime_conversion.h"
#include "notesapi/host/internal/mime_part_editing.h"
#include "notesapi/host/internal/mime_structure.h"
#include "notesapi/host/mime_import.h"
#include "notesapi/item_values.h"
#include "notesapi/rich_text.h"
#include "notesapi/stored_structures.h"
#include "mime/transfer_decoding.h"

namespace notesapi::host {

using namespace mime;

namespace {

class WriteBack {
 public:
  WriteBack(HostState& s, NoteHandle handle, const MimeOrigin& origin, std::string message)
      : s_(s), handle_(handle), origin_(origin), message_(std::move(message)) {
    ParseMimeStructure(message_, s_.charsets->NativeName(), &structure_);
    ConvertMimeMessage(message_, *s_.charsets, &converted_, Conversion::kPlacesOnly);
    textEdits_.resize(converted_.textParts.size());
  }

  Status Run(std::string* out) {
    if (Status st = CollectFiles(); st != kNoError) return st;
    CollectBody();
    for (size_t i = 0; i < converted_.textParts.size(); ++i) EditTextPart(i);
    if (Status st = ApplyEdits(&message_, OutermostEdits(std::move(edits_))); st != kNoError) return st;
    std::string result = std::move(message_);  // the message as stored is used no more
    if (!report_.empty() && !reportPlaced_) result = WithReportPart(result);
    *out = std::move(result);
    return kNoError;
  }

 private:
  std::string_view Range(size_t from, size_t to) const { return std::string_view(message_).substr(from, to - from); }

  // Each presented file that is gone or holds other data now.
  Status CollectFiles() {
    fileChanged_.assign(converted_.files.size(), false);
    std::vector<std::pair<size_t, size_t>> signedDone;
    for (size_t i = 0; i < converted_.files.size() && i < origin_.internalNames.size(); ++i) {
      const ConvertedFile& file = converted_.files[i];
      if (file.source == FileSource::kBodySource) continue;  // changed through the body
      if (file.source == FileSource::kInText && InReplacedPart(file.textPart)) continue;
      std::string data;
      BlockId found;
      if (FindAttachmentItem(s_, handle_, origin_.internalNames[i], &found) == kNoError) {
        const StoredItem& item = *s_.FindItemByBlock(found);
        if (OnPresentedObject(item, i)) continue;
        std::string name;
        if (!ReadAttachment(s_, handle_, item, &name, &data)) return kFileError;
        if (data == ContentOf(message_, file)) continue;
      }
      fileChanged_[i] = true;
      switch (file.source) {
        case FileSource::kPartContent:
          edits_.push_back({file.from, file.to, EncodeContent(file.transferEncoding, data, Range(file.from, file.to), message_)});
          break;
        case FileSource::kRange:
          edits_.push_back({file.from, file.to, data});
          break;
        case FileSource::kInWholePart: {
          // The signed part cannot be edited inside: it goes whole, once.
          std::pair<size_t, size_t> part{file.from, file.to};
          if (std::find(signedDone.begin(), signedDone.end(), part) != signedDone.end()) break;
          signedDone.push_back(part);
          edits_.push_back({file.from, file.to, EncodeContent(file.transferEncoding, data, Range(file.from, file.to), message_)});
          break;
        }
        case FileSource::kInText: {
          std::string lineEnd = LineEndOf(Range(converted_.textParts[file.textPart].from, converted_.textParts[file.textPart].to), message_);
          textEdits_[file.textPart].push_back(
              {file.blockBegin, file.blockEnd, "[" + file.name + ": removed by the mail server's anti-virus check]" + lineEnd});
          break;
        }
        case FileSource::kBodySource:
          break;
      }
    }
    return kNoError;
  }

  // A text part that is no body and whose file was replaced whole: nothing
  // inside it is edited any more.
  bool InReplacedPart(size_t textPart) const {
    const ConvertedTextPart& part = converted_.textParts[textPart];
    return !part.body && part.file < fileChanged_.size() && fileChanged_[part.file];
  }

  bool OnPresentedObject(const StoredItem& item, size_t file) const {
    FileObject object;
    std::string_view name;
    return file < origin_.presentedObjects.size() && AttachmentName(item.value, &object, &name) == kNoError &&
           object.header.rrv == origin_.presentedObjects[file];
  }

  // What was done to the body: text put in front, or the whole replaced.
  // The body's items break its text where they will, and each break reads
  // as a line end, so the text is compared without its line ends: a body
  // that grew over several items is still the body it was, with the
  // report in front.
  void CollectBody() {
    std::string current = BodyPlainText(s_, *s_.FindNote(handle_));
    size_t presented = origin_.presentedSize;
    size_t split = current.size();
    for (size_t kept = 0; split > 0 && kept < presented; --split) {
      if (!IsLineEnd(current[split - 1])) ++kept;
    }
    if (SignificantCount(current) >= presented &&
        TextDigest(WithoutLineEnds(std::string_view(current).substr(split))) == origin_.presentedDigest) {
      report_ = current.substr(0, split);  // empty: the body is as presented
      if (!report_.empty() && report_.back() != '\n') report_ += '\n';
    } else {
      replacement_ = current;
      replaced_ = true;
      if (!replacement_.empty() && replacement_.back() != '\n') replacement_ += '\n';
    }
  }

  static bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }
  static size_t SignificantCount(std::string_view text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return !IsLineEnd(c); }));
  }

  // Text in the part's own character set, or the part moved to UTF-8 when
  // that set cannot hold it.
  void EditTextPart(size_t index) {
    const ConvertedTextPart& part = converted_.textParts[index];
    std::string_view content = Range(part.from, part.to);
    std::string lineEnd = LineEndOf(content, message_);
    bool html = part.subtype == "html";
    bool plain = part.subtype == "plain";
    std::vector<MessageEdit>& inner = textEdits_[index];
    if (InReplacedPart(index)) return;
    // The report and a replaced body go into the mail's own body alone.
    bool front = part.body && !report_.empty() && ((plain && !plainDone_) || (html && !htmlDone_));
    bool replace = part.body && replaced_;
    if (inner.empty() && !front && !replace) return;
    std::string decoded = DecodeTransferEncoding(part.transferEncoding, content);
    std::sort(inner.begin(), inner.end(), [](const MessageEdit& a, const MessageEdit& b) { return a.from > b.from; });
    for (const MessageEdit& edit : inner) {
      if (edit.to <= decoded.size() && edit.from <= edit.to) decoded.replace(edit.from, edit.to - edit.from, edit.bytes);
    }
    std::string declare;  // a charset the part must now say it is in
    if (replace) {
      if (html) {
        decoded = HtmlBlock(*s_.charsets, replacement_, lineEnd);
      } else {
        decoded = InPartCharset(part.charset, decoded, WithLineEnds(replacement_, lineEnd), &declare);
      }
    } else if (front && html) {
      decoded.insert(HtmlBodyStart(decoded), HtmlBlock(*s_.charsets, report_, lineEnd));
      htmlDone_ = reportPlaced_ = true;
    } else if (front) {
      std::string prefix = InPartCharset(part.charset, decoded, WithLineEnds(report_, lineEnd), &declare);
      if (declare == "utf-8" && !IsAscii(decoded) && !Charsets::IsUtf8(decoded)) {
        decoded = TextToUtf8(*s_.charsets, part.charset, decoded);  // the set could not hold the report
      }
      decoded.insert(0, prefix);
      plainDone_ = reportPlaced_ = true;
    }
    std::string identity = Lower(part.transferEncoding);
    bool identityEncoding = identity != "base64" && identity != "quoted-printable";
    bool eightBit = identityEncoding && identity != "8bit" && identity != "binary" && !IsAscii(decoded);
    edits_.push_back({part.from, part.to, EncodeContent(part.transferEncoding, decoded, content, message_)});
    if (!declare.empty() || eightBit) {
      const MimeEntity& e = structure_.entities[part.entity];
      edits_.push_back({e.boundaryEnd, e.headersEnd,
                        HeadersWith(std::string(Range(e.boundaryEnd, e.headersEnd)), declare, eightBit, lineEnd)});
    }
  }

  // `utf8` in the part's character set. An undeclared set takes what the
  // text already is (UTF-8, else the native code page) and `declare` names
  // it; a declared set that cannot hold the text gives way to UTF-8.
  std::string InPartCharset(const std::string& charset, const std::string& text, const std::string& utf8,
                            std::string* declare) {
    std::string out;
    std::string name = Lower(charset);
    if (name.empty() || name == "us-ascii") {
      if (IsAscii(utf8)) return utf8;
      std::string chosen = IsAscii(text) || Charsets::IsUtf8(text) ? "utf-8" : s_.charsets->NativeName();
      if (chosen != "utf-8" && s_.charsets->EncodeNamed(chosen, utf8, &out) == kNoError) {
        *declare = chosen;
        return out;
      }
      *declare = "utf-8";
      return utf8;
    }
    if (s_.charsets->EncodeNamed(charset, utf8, &out) == kNoError) return out;
    *declare = "utf-8";
    return utf8;
  }

  // A mail without a text part gets one for the report: the first part of
  // its top multipart, or, for a single part, a new multipart around it.
  std::string WithReportPart(const std::string& message) const {
    MimeStructure structure;
    ParseMimeStructure(message, s_.charsets->NativeName(), &structure);
    std::string lineEnd = LineEndOf(message, message);
    std::string part = "Content-Type: text/plain; charset=utf-8" + lineEnd + "Content-Transfer-Encoding: 8bit" + lineEnd +
                       lineEnd + WithLineEnds(report_, lineEnd);
    const MimeEntity& root = structure.entities.front();
    // A signed multipart holds exactly what was signed and its signature:
    // the report goes around it, not into it.
    if (root.kind == MimeEntityKind::kMultipart && !root.children.empty() && root.headers.subtype != "signed") {
      const MimeEntity& first = structure.entities[root.children.front()];
      size_t delimiter = message.find("--" + root.headers.boundary, first.start);
      if (delimiter != std::string::npos && delimiter < first.boundaryEnd) {
        std::string inserted;
        // One insertion inside the message: it always applies.
        (void)EditedCopy(message, {{delimiter, delimiter, "--" + root.headers.boundary + lineEnd + part}}, &inserted);
        return inserted;
      }
    }
    std::string boundary = NewBoundary(message);
    std::string headers = message.substr(0, root.headersEnd);
    std::string kept, content;
    bool version = false;
    for (size_t at = 0; at < headers.size();) {
      auto [start, end] = NextField(headers, at);
      if (start == end) break;
      std::string field = headers.substr(start, end - start);
      if (!EndsWithLineEnd(field)) field += lineEnd;
      std::string lower = Lower(field);
      (lower.rfind("content-", 0) == 0 ? content : kept) += field;
      if (lower.rfind("mime-version:", 0) == 0) version = true;
      at = end;
    }
    if (!version) kept += "MIME-Version: 1.0" + lineEnd;
    std::string wrapped = kept + "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"" + lineEnd + lineEnd + "--" +
                          boundary + lineEnd + part + "--" + boundary + lineEnd + content + lineEnd +
                          message.substr(std::min(root.headersEnd, message.size()));
    if (!EndsWithLineEnd(wrapped)) wrapped += lineEnd;
    return wrapped + "--" + boundary + "--" + lineEnd;
  }

  // One header field of a block starting at `at`, with its continuation lines.
  static std::pair<size_t, size_t> NextField(const std::string& block, size_t at) {
    if (at >= block.size() || block[at] == '\n' || block[at] == '\r') return {at, at};
    size_t end = at;
    do {
      size_t feed = block.find('\n', end);
      end = feed == std::string::npos ? block.size() : feed + 1;
    } while (end < block.size() && (block[end] == ' ' || block[end] == '\t'));
    return {at, end};
  }

  static std::string NewBoundary(const std::string& message) {
    std::random_device random;
    for (;;) {
      std::string boundary = "=_tervala_report_" + std::to_string(random()) + std::to_string(random());
      if (message.find(boundary) == std::string::npos) return boundary;
    }
  }

  HostState& s_;
  NoteHandle handle_;
  const MimeOrigin& origin_;
  std::string message_;  // as stored, until the edits are made in it
  MimeStructure structure_;
  ConvertedMessage converted_;
  std::vector<MessageEdit> edits_;  // on the message, none overlapping
  std::vector<std::vector<MessageEdit>> textEdits_;  // on the decoded text of each text part
  std::vector<bool> fileChanged_;                     // by presented file
  std::string report_;
  std::string replacement_;
  bool replaced_ = false;
  bool plainDone_ = false;
  bool htmlDone_ = false;
  bool reportPlaced_ = false;
};

}  // namespace

namespace {

// Item by item, so a large body is not held in both character sets at once;
// text runs never span two items.
template <typename Take>
void EachBodyText(HostState& s, const OpenNote& open, Take take) {
  for (const StoredItem& item : open.note.items) {
    if (!SameName(item.name, "Body")) continue;
    uint16_t type = 0;
    if (ValueType(item.value, &type) != kNoError) continue;
    std::string lmbcs;
    if (type == TYPE_TEXT) {
      lmbcs.assign(item.value, 2);
    } else if (type != TYPE_COMPOSITE ||
               RichTextToPlainText(std::string_view(item.value).substr(2), "\n", 0, &lmbcs) != kNoError) {
      continue;
    }
    std::string utf8;
    take(s.charsets->Convert(Charset::kLmbcs, Charset::kUtf8, lmbcs, &utf8) == kNoError ? utf8 : lmbcs);
  }
}

}  // namespace

std::string BodyPlainText(HostState& s, const OpenNote& open) {
  size_t stored = 0;  // the text is no longer than its items, mostly
  for (const StoredItem& item : open.note.items) stored += SameName(item.name, "Body") ? item.value.size() : 0;
  std::string text;
  text.reserve(stored);
  EachBodyText(s, open, [&](std::string_view piece) { text += piece; });
  return text;
}

std::string TextDigest(std::string_view text) {
  GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
  g_checksum_update(sum, reinterpret_cast<const guchar*>(text.data()), static_cast<gssize>(text.size()));
  std::string hex = g_checksum_get_string(sum);
  g_checksum_free(sum);
  return hex;
}

std::string WithoutLineEnds(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (c != '\n' && c != '\r') kept.push_back(c);
  }
  return kept;
}

void BodyTextDigest(HostState& s, const OpenNote& open, size_t* size, std::string* digest) {
  GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
  *size = 0;
  EachBodyText(s, open, [&](std::string_view piece) {
    std::string kept = WithoutLineEnds(piece);
    g_checksum_update(sum, reinterpret_cast<const guchar*>(kept.data()), static_cast<gssize>(kept.size()));
    *size += kept.size();
  });
  *digest = g_checksum_get_string(sum);
  g_checksum_free(sum);
}

namespace {

// The message as it was stored, from the parts the view kept aside.
Status StoredMessage(HostState& s, NoteHandle handle, const MimeOrigin& origin, std::string* message) {
  // A large part content is read from the object its attachment names.
  auto readObject = [&](std::string_view name, std::string* data) -> Status {
    for (const StoredItem& item : origin.storedParts) {
      FileObject file;
      std::string_view stored;
      if (!SameName(item.name, "$FILE") || AttachmentName(item.value, &file, &stored) != kNoError || stored != name) {
        continue;
      }
      uint32_t flags = 0;
      return AppendNoteObject(s, handle, file.header.rrv, data, &flags);
    }
    return kItemNotFound;
  };
  message->clear();
  for (const StoredItem& item : origin.storedParts) {
    uint16_t type = 0;
    if (ValueType(item.value, &type) != kNoError || type != TYPE_MIME_PART) continue;
    if (Status st = AppendMimePart(s.platform, std::string_view(item.value).substr(2), readObject, message, nullptr);
        st != kNoError) {
      return st;
    }
  }
  return kNoError;
}

// The data of presented files that no item names any more: the message
// holds it now, and a large one should not be held twice while it is stored.
void DropUnnamedObjects(OpenNote* open, const std::vector<uint32_t>& objects) {
  for (uint32_t object : objects) {
    bool named = std::any_of(open->note.items.begin(), open->note.items.end(), [&](const StoredItem& item) {
      FileObject file;
      std::string_view name;
      return AttachmentName(item.value, &file, &name) == kNoError && file.header.rrv == object;
    });
    if (!named) open->pendingObjects.erase(object);
  }
}

}  // namespace

Status ChangedMessage(HostState& s, NoteHandle handle, const MimeOrigin& origin, std::string* message) {
  std::string stored;
  if (Status st = StoredMessage(s, handle, origin, &stored); st != kNoError) return st;
  return WriteBack(s, handle, origin, std::move(stored)).Run(message);
}

Status WriteBackMime(HostState& s, NoteHandle handle) {
  OpenNote* open = s.FindNote(handle);
  if (open == nullptr || !open->mimeOrigin) return kInvalidHandle;
  std::shared_ptr<MimeOrigin> origin = open->mimeOrigin;
  std::string message;
  if (Status st = ChangedMessage(s, handle, *origin, &message); st != kNoError) return st;
  // The presented items go; the message's own parts come back.
  std::vector<StoredItem> kept;
  for (StoredItem& item : open->note.items) {
    bool presented = SameName(item.name, "Body") || SameName(item.name, "MIME_Version") ||
                     SameName(item.name, kOtherFileNamesItem);
    if (!presented && SameName(item.name, "$FILE")) {
      FileObject file;
      std::string_view name;
      if (AttachmentName(item.value, &file, &name) == kNoError) {
        presented = std::find(origin->internalNames.begin(), origin->internalNames.end(), name) != origin->internalNames.end();
      }
    }
    if (!presented) kept.push_back(std::move(item));
  }
  open->note.items = std::move(kept);
  open->mimeOrigin.reset();
  DropUnnamedObjects(open, origin->presentedObjects);
  for (const StoredItem& item : origin->mimeItems) {
    if (Status st = AppendItem(s, handle, item.flags, item.name, item.value, nullptr); st != kNoError) return st;
  }
  std::u16string scratch = s.charsets->Utf8ToUtf16(s.serverDirectory + "/run");
  return WriteMimeParts(s.platform, handle, message, scratch);
}

}  // namespace notesapi::host
