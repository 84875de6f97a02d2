// Decoders of the content transfer encodings of mail, lenient on purpose:
// the scanner must see at least every byte that a forgiving mail client
// could decode, so nothing a client would show may hide behind a decoding
// error. Base64 skips white space and every other character that is not of
// its alphabet, anywhere; padding ends a quantum and what follows it is
// decoded afresh;
// quoted-printable keeps a bad "=" sequence as it stands and goes on;
// uuencode and yEnc blocks are found inside text. Shared by the host's
// converted view of MIME mail and the scanner of raw MIME parts.
#ifndef MIME_TRANSFER_DECODING_H_
#define MIME_TRANSFER_DECODING_H_

#include <string>
#include <string_view>
#include <vector>

namespace mime {

std::string DecodeBase64Leniently(std::string_view text);
std::string DecodeQuotedPrintableLeniently(std::string_view text);

// Decodes `content` by the transfer encoding named in a part's
// Content-Transfer-Encoding (any case; "base64", "quoted-printable",
// "x-uuencode"/"uuencode"/"x-uue"/"uue"); any other name gives the bytes
// unchanged.
std::string DecodeTransferEncoding(std::string_view encoding, std::string_view content);
// Whether DecodeTransferEncoding gives the content back as it is (7bit,
// 8bit, binary, an unknown or missing name).
bool IsIdentityTransferEncoding(std::string_view encoding);
// What other readers decode from the same content where their decoders
// part from this one ("=" inside base64 skipped, "=" before a lone carriage
// return breaking the line): each differs from `decoded`, the decoding
// above. Usually none.
std::vector<std::string> OtherDecodings(std::string_view encoding, std::string_view content, const std::string& decoded);
// Whether OtherDecodings may find any, told without decoding.
bool HasOtherDecodings(std::string_view encoding, std::string_view content);

// A file carried inside text: "begin MODE NAME" ... "end" (uuencode) or
// "=ybegin ... name=NAME" ... "=yend" (yEnc).
struct EmbeddedFile {
  std::string name;
  std::string data;
  // The block's lines in the text: from its begin line to the end of its
  // end line (or of the text), line end included.
  size_t begin = 0;
  size_t end = 0;
};
std::vector<EmbeddedFile> FindEmbeddedFiles(std::string_view text);

}  // namespace mime

#endif  // MIME_TRANSFER_DECODING_H_
