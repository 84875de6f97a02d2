#include "settings/bases_date.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <cstdio>
#include <memory>

#include "notesapi/process_platform.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "settings/xml_owners.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr char kBlockStart[] = "\r\n; ";
constexpr unsigned char kBlockEndByte = 0xAD;
constexpr size_t kSignatureBytes = 29;
constexpr size_t kSignatureDigits = 36;
constexpr size_t kKeyIdOffset = 4;
constexpr size_t kSignatureOffset = 26;
constexpr int kBase = 94;
constexpr char kFirstDigit = '!';

// Signs the demo bases and any bases a site signs without a key of its own.
// Being in the program, it proves only that an index was not damaged or
// changed by someone without the program; sites that publish their own
// bases set ZulBasesKeyFile to a secret key.
constexpr char kBuiltInKeyId[] = "TervalaBasesKey2026v01";
constexpr char kBuiltInSecret[] = "b7c1e4f09a2d3856e1f0c9ab44d27e6158a3fd02c96b7e1d";

std::array<unsigned char, kSignatureBytes> Digest(std::string_view content, const BasesKey& key) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.secret.data(), static_cast<int>(key.secret.size()),
       reinterpret_cast<const unsigned char*>(content.data()), content.size(), mac, &length);
  std::array<unsigned char, kSignatureBytes> digest{};
  std::copy(mac, mac + kSignatureBytes, digest.begin());
  return digest;
}

// The 29 bytes as a big-endian number, in 36 digits of base 94.
std::string EncodeBase94(std::array<unsigned char, kSignatureBytes> number) {
  std::string digits(kSignatureDigits, kFirstDigit);
  for (size_t position = kSignatureDigits; position-- > 0;) {
    unsigned remainder = 0;
    for (unsigned char& byte : number) {
      unsigned value = (remainder << 8) | byte;
      byte = static_cast<unsigned char>(value / kBase);
      remainder = value % kBase;
    }
    digits[position] = static_cast<char>(kFirstDigit + remainder);
  }
  return digits;
}

bool IsBlockAt(std::string_view content, size_t at) {
  std::string_view block = content.substr(at, kSignatureBlockSize);
  return block.size() == kSignatureBlockSize && block.substr(0, 4) == std::string_view(kBlockStart, 4) &&
         static_cast<unsigned char>(block[62]) == kBlockEndByte &&
         static_cast<unsigned char>(block[63]) == kBlockEndByte;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ValidCivil(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1601 || year > 30827 || month < 1 || month > 12 || hour > 23 || minute > 59) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  unsigned last = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day >= 1 && day <= last;
}

// Days since 1970-01-01 of a civil date.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr uint64_t kTicksPerSecond = 10000000;

}  // namespace

BasesKey BuiltInBasesKey() { return BasesKey{kBuiltInKeyId, kBuiltInSecret}; }

std::vector<BasesKey> VerificationKeys(std::string* problem) {
  problem->clear();
  Platform* p = ProcessPlatform();
  std::string keyFile;
  if (p == nullptr || !p->IniGetText("ZulBasesKeyFile", 1024, &keyFile) || keyFile.empty()) {
    return {BuiltInBasesKey()};
  }
  // A site key replaces the built-in one, whose secret anyone with the
  // program has; a key file that cannot be used verifies nothing.
  std::u16string path(keyFile.begin(), keyFile.end());
  std::string text;
  if (notesapi::Status s = p->FileRead(path, &text); s != kNoError) {
    *problem = "the key file " + keyFile + " cannot be read: " + p->StatusText(s);
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::BasesKeyFileUnreadable), s, keyFile.c_str());
    return {};
  }
  BasesKey siteKey;
  if (!ParseBasesKey(text, &siteKey)) {
    *problem = "the key file " + keyFile + " lacks a line KeyId=... or Secret=<hex>";
    LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(Msg::BasesKeyFileInvalid), 0, keyFile.c_str());
    return {};
  }
  return {siteKey};
}

bool ReadBasesKeyFile(std::u16string_view path, BasesKey* key) {
  Platform* p = ProcessPlatform();
  std::string text;
  if (p == nullptr || p->FileRead(path, &text) != kNoError) return false;
  return ParseBasesKey(text, key);
}

bool ParseBasesKey(std::string_view text, BasesKey* key) {
  BasesKey read;
  bool haveId = false;
  bool haveSecret = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("KeyId=", 0) == 0) {
      read.keyId = line.substr(6, kKeyIdSize);
      read.keyId.resize(kKeyIdSize, ' ');
      haveId = true;
    } else if (line.rfind("Secret=", 0) == 0) {
      std::string hex = line.substr(7);
      if (hex.empty() || hex.size() % 2 != 0) return false;
      for (size_t i = 0; i < hex.size(); i += 2) {
        int high = HexValue(hex[i]);
        int low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        read.secret.push_back(static_cast<char>(high * 16 + low));
      }
      haveSecret = true;
    }
  }
  if (!haveId || !haveSecret) return false;
  *key = std::move(read);
  return true;
}

std::string MakeSignatureBlock(std::string_view content, const BasesKey& key) {
  std::string block(kBlockStart, 4);
  std::string keyId = key.keyId.substr(0, kKeyIdSize);
  keyId.resize(kKeyIdSize, ' ');
  block += keyId;
  block += EncodeBase94(Digest(content, key));
  block += std::string(2, static_cast<char>(kBlockEndByte));
  return block;
}

namespace {

// Offsets of the signature blocks, from the last one backwards.
std::vector<size_t> SignatureBlocks(std::string_view content) {
  std::vector<size_t> blocks;
  for (size_t at = content.size(); at >= kSignatureBlockSize && blocks.size() < kMaxSignatureBlocks;) {
    at -= kSignatureBlockSize;
    if (at == 0 || !IsBlockAt(content, at)) break;
    blocks.push_back(at);
  }
  return blocks;
}

}  // namespace

size_t UnsignedLength(std::string_view content) {
  std::vector<size_t> blocks = SignatureBlocks(content);
  return blocks.empty() ? content.size() : blocks.back();
}

int32_t VerifySignedContent(std::string_view content, size_t* signedLength) {
  if (signedLength == nullptr) return kSignatureInvalidArguments;
  std::vector<size_t> blocks = SignatureBlocks(content);
  if (blocks.empty()) return kNoSignatureForKey;
  std::string_view signedContent = content.substr(0, blocks.back());
  std::string problem;  // logged where it was found
  for (const BasesKey& key : VerificationKeys(&problem)) {
    for (size_t at : blocks) {
      if (content.substr(at + kKeyIdOffset, kKeyIdSize) != key.keyId) continue;
      std::string expected = EncodeBase94(Digest(signedContent, key));
      std::string_view given = content.substr(at + kSignatureOffset, kSignatureDigits);
      if (CRYPTO_memcmp(expected.data(), given.data(), kSignatureDigits) != 0) return kSignatureMismatch;
      *signedLength = signedContent.size();
      return 0;
    }
  }
  return kNoSignatureForKey;
}

bool FileTimeOfCivil(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, uint64_t* fileTime) {
  if (!ValidCivil(year, month, day, hour, minute)) return false;
  int64_t days = DaysFromCivil(year, month, day) + kDaysFrom1601To1970;
  *fileTime = (static_cast<uint64_t>(days) * 86400 + hour * 3600ULL + minute * 60ULL) * kTicksPerSecond;
  return true;
}

BasesDate BasesDateOfFileTime(uint64_t fileTime) {
  int64_t seconds = static_cast<int64_t>(fileTime / kTicksPerSecond);
  int64_t days = seconds / 86400 - kDaysFrom1601To1970;  // days since 1970-01-01
  int64_t rest = seconds % 86400;
  BasesDate date;
  date.hour = static_cast<int>(rest / 3600);
  date.minute = static_cast<int>(rest / 60 % 60);
  date.second = static_cast<int>(rest % 60);
  date.weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t dayOfEra = z - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  date.day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  date.month = month - 1;
  date.year = static_cast<int>(year - 1900);
  return date;
}

Status ReadBasesDate(std::u16string_view indexPath, uint64_t* fileTime) {
  Platform* p = ProcessPlatform();
  if (p == nullptr) return Status::Failed("no platform");
  std::string content;
  if (notesapi::Status s = p->FileRead(indexPath, &content); s != kNoError) {
    if (s == kFileNotFound) return Status::NotFound("no bases index");
    return Status::FromPlatform(s, "the bases index cannot be read");
  }
  size_t signedLength = 0;
  if (VerifySignedContent(content, &signedLength) != 0) {
    return Status::Corrupt("the bases index is not signed with a known key, or altered");
  }
  content.resize(signedLength);
  XmlDoc doc = ParseIndexXml(content);
  if (!doc) return Status::Corrupt("the bases index is not XML");
  XPathContext context(xmlXPathNewContext(doc.get()));
  if (!context) return Status::Failed("no memory to read the bases index");
  XPathObject nodes(xmlXPathEvalExpression(XmlName("/UpdateFiles"), context.get()));
  if (!nodes) return Status::Corrupt("the bases index has no UpdateFiles");
  uint64_t date = 0;
  int count = nodes->nodesetval != nullptr ? nodes->nodesetval->nodeNr : 0;
  for (int i = 0; i < count; ++i) {
    XmlText text(xmlGetProp(nodes->nodesetval->nodeTab[i], XmlName("UpdateDate")));
    unsigned day = 0, month = 0, year = 0, hour = 0, minute = 0;
    const char* attribute = text ? reinterpret_cast<const char*>(text.get()) : "";
    if (std::sscanf(attribute, "%2u%2u%4u %2u%2u", &day, &month, &year, &hour, &minute) != 5 ||
        !FileTimeOfCivil(year, month, day, hour, minute, &date)) {
      return Status::InvalidArgument("the date of the bases index does not parse");
    }
  }
  *fileTime = date;
  return Status::OK();
}

}  // namespace zul
