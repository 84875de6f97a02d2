#include "notesapi/rich_text.h"

#include "notesapi/item_values.h"

#include <algorithm>

namespace notesapi {

namespace {

constexpr uint8_t kWordLength = 0xFF;
constexpr uint8_t kLongLength = 0x00;
constexpr size_t kMaxTabs = 20;
constexpr size_t kPabDefinitionSize = 70;
constexpr size_t kTextHeaderSize = 8;
// Text runs are kept well inside one record and one rich-text item.
constexpr size_t kMaxTextRun = 60000;
constexpr uint16_t kDefaultLineSpacing = 0;
constexpr uint16_t kDefaultLeftMargin = 1440;  // one inch in twips
constexpr uint16_t kDefaultTabInterval = 720;

void PadEven(std::string* out) {
  if (out->size() % 2 != 0) out->push_back('\0');
}

}  // namespace

void AppendPabDefinition(std::string* out, uint16_t pabId) {
  PutLe16(out, SIG_CD_PABDEFINITION);
  PutLe16(out, kPabDefinitionSize);
  PutLe16(out, pabId);
  PutLe16(out, 0);  // left justified
  PutLe16(out, kDefaultLineSpacing);
  PutLe16(out, 0);  // spacing above
  PutLe16(out, 0);  // spacing below
  PutLe16(out, kDefaultLeftMargin);
  PutLe16(out, 0);  // right margin: one inch from the paper's edge
  PutLe16(out, kDefaultLeftMargin);
  PutLe16(out, 1);  // one tab stop
  PutLe16(out, kDefaultTabInterval);
  for (size_t i = 1; i < kMaxTabs; ++i) PutLe16(out, 0);
  PutLe16(out, 0);  // flags
  PutLe32(out, 0);  // tab types
  PutLe16(out, 0);  // flags 2
}

void AppendParagraph(std::string* out) {
  out->push_back(static_cast<char>(SIG_CD_PARAGRAPH));
  out->push_back(2);
}

void AppendPabReference(std::string* out, uint16_t pabId) {
  out->push_back(static_cast<char>(SIG_CD_PABREFERENCE));
  out->push_back(4);
  PutLe16(out, pabId);
}

void AppendText(std::string* out, uint32_t fontId, std::string_view text) {
  do {
    std::string_view piece = text.substr(0, kMaxTextRun);
    text.remove_prefix(piece.size());
    PutLe16(out, SIG_CD_TEXT);
    PutLe16(out, static_cast<uint16_t>(kTextHeaderSize + piece.size()));
    PutLe32(out, fontId);
    out->append(piece);
    PadEven(out);
  } while (!text.empty());
}

void AppendFileHotspot(std::string* out, std::string_view internalName, std::string_view shownName) {
  std::string data = std::string(internalName) + '\0' + std::string(shownName) + '\0';
  data.resize(std::min<size_t>(data.size(), 0xF000));
  PutLe16(out, SIG_CD_HOTSPOTBEGIN);
  PutLe16(out, static_cast<uint16_t>(12 + data.size()));
  PutLe16(out, kHotspotTypeFile);
  PutLe32(out, 0);  // flags
  PutLe16(out, static_cast<uint16_t>(data.size()));
  out->append(data);
  PadEven(out);
  out->push_back(static_cast<char>(SIG_CD_HOTSPOTEND));
  out->push_back(2);
}

void AppendOleObject(std::string* out, std::string_view attachmentName, std::string_view className) {
  attachmentName = attachmentName.substr(0, 0x7000);
  className = className.substr(0, 0x7000);
  PutLe16(out, SIG_CD_OLEBEGIN);
  PutLe16(out, static_cast<uint16_t>(18 + attachmentName.size() + className.size()));
  PutLe16(out, 0);  // version
  PutLe32(out, 0);  // flags
  PutLe16(out, 0);  // clipboard format
  PutLe16(out, static_cast<uint16_t>(attachmentName.size()));
  PutLe16(out, static_cast<uint16_t>(className.size()));
  PutLe16(out, 0);  // no template
  out->append(attachmentName).append(className);
  PadEven(out);
  PutLe16(out, SIG_CD_OLEEND);
  PutLe16(out, 8);
  PutLe32(out, 0);
}

Status ForEachCdRecord(std::string_view rich, const std::function<void(const CdRecord&)>& visit) {
  size_t at = 0;
  while (at < rich.size()) {
    if (rich.size() - at < 2) return kValueTooShort;
    uint8_t type = static_cast<uint8_t>(rich[at]);
    uint8_t form = static_cast<uint8_t>(rich[at + 1]);
    size_t header = 0;
    uint32_t length = 0;
    if (form == kWordLength) {
      uint16_t word = 0;
      if (!GetLe16(rich, at + 2, &word)) return kValueTooShort;
      header = 4;
      length = word;
    } else if (form == kLongLength) {
      if (!GetLe32(rich, at + 2, &length)) return kValueTooShort;
      header = 6;
    } else {
      header = 2;
      length = form;
    }
    if (length < header || length > rich.size() - at) return kValueTooShort;
    CdRecord record;
    record.type = type;
    record.signature = static_cast<uint16_t>(type | (form == kWordLength ? 0xFF00 : 0));
    record.body = rich.substr(at + header, length - header);
    visit(record);
    at += length + (length % 2);
  }
  return kNoError;
}

Status RichTextToPlainText(std::string_view rich, std::string_view delimiter, size_t lineLength, std::string* text) {
  std::string out;
  size_t column = 0;
  bool firstParagraph = true;
  auto add = [&](std::string_view piece) {
    for (char c : piece) {
      if (c == '\0') {  // a line break inside a text run
        out += delimiter;
        column = 0;
        continue;
      }
      if (lineLength > 0 && column >= lineLength) {
        out += delimiter;
        column = 0;
      }
      out += c;
      ++column;
    }
  };
  Status s = ForEachCdRecord(rich, [&](const CdRecord& record) {
    if (record.signature == SIG_CD_PARAGRAPH) {
      if (!firstParagraph) {
        out += delimiter;
        column = 0;
      }
      firstParagraph = false;
    } else if (record.signature == SIG_CD_TEXT && record.body.size() >= 4) {
      add(record.body.substr(4));
    }
  });
  if (s != kNoError) return s;
  *text = std::move(out);
  return kNoError;
}

}  // namespace notesapi
