// Rich text as the server stores it: a sequence of CD records, each with a
// signature and a length (byte, word or long form) and padded to an even
// size. These helpers write the records this system produces and walk any
// sequence with every length checked against the value.
#ifndef NOTESAPI_RICH_TEXT_H_
#define NOTESAPI_RICH_TEXT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "notesapi/status.h"

namespace notesapi {

// Record signatures (low byte: the record type; high byte: the length form).
inline constexpr uint16_t SIG_CD_PARAGRAPH = 129;               // byte length
inline constexpr uint16_t SIG_CD_PABDEFINITION = 130 | 0xFF00;  // word length
inline constexpr uint16_t SIG_CD_PABREFERENCE = 131;            // byte length
inline constexpr uint16_t SIG_CD_TEXT = 133 | 0xFF00;           // word length
inline constexpr uint16_t SIG_CD_OLEBEGIN = 167 | 0xFF00;
inline constexpr uint16_t SIG_CD_OLEEND = 168 | 0xFF00;
inline constexpr uint16_t SIG_CD_HOTSPOTBEGIN = 169 | 0xFF00;
inline constexpr uint16_t SIG_CD_HOTSPOTEND = 170;            // byte length

inline constexpr uint32_t kDefaultFontId = 0x0A000000;  // 10 point, default face, plain

struct CdRecord {
  uint8_t type = 0;       // low byte of the signature
  uint16_t signature = 0;
  std::string_view body;  // the record after its signature and length
};

// Writers append one record, padded to an even size.
void AppendPabDefinition(std::string* richText, uint16_t pabId);
void AppendParagraph(std::string* richText);
void AppendPabReference(std::string* richText, uint16_t pabId);
// Text longer than one record holds is split over several records.
void AppendText(std::string* richText, uint32_t fontId, std::string_view text);
// The hotspot that shows an attached file in the text: its internal name
// (the "$FILE" item's file name) and the name shown to the reader.
void AppendFileHotspot(std::string* richText, std::string_view internalName, std::string_view shownName);
// Where an embedded OLE object stands in the text: `attachmentName` names
// its storage, `className` its program identifier.
void AppendOleObject(std::string* richText, std::string_view attachmentName, std::string_view className);

inline constexpr uint16_t kHotspotTypeFile = 4;

// Calls `visit` for every record of `richText` (without the data-type
// word). kValueTooShort when a record's length runs past the value or is
// smaller than its own header; the records before it have been visited.
[[nodiscard]] Status ForEachCdRecord(std::string_view richText, const std::function<void(const CdRecord&)>& visit);

// The text of rich text: paragraphs separated by `delimiter`; lines longer
// than `lineLength` are wrapped with the delimiter too (0: no wrapping).
[[nodiscard]] Status RichTextToPlainText(std::string_view richText, std::string_view delimiter, size_t lineLength,
                                         std::string* text);

}  // namespace notesapi

#endif  // NOTESAPI_RICH_TEXT_H_
