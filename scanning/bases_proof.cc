#include "scanning/bases_proof.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "base/message_text.h"
#include "base/text_conversions.h"
#include "notesapi/process_platform.h"
#include "settings/bases_date.h"
#include "settings/bases_index.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr char16_t kIndexName[] = u"master.xml";
constexpr size_t kDigestPart = 1 << 20;

// The extensions of the signature files ClamAV's engine loads from a
// folder; anything else there it passes over.
constexpr std::u16string_view kEngineExtensions[] = {
    u"cvd", u"cld", u"cud", u"info", u"cfg", u"db",  u"hdb", u"hdu", u"hsb", u"hsu", u"mdb",  u"mdu",  u"msb",
    u"msu", u"fp",  u"sfp", u"ndb",  u"ndu", u"ldb", u"ldu", u"idb", u"cdb", u"cbc", u"sdb", u"zmd",  u"rmd",
    u"pdb", u"gdb", u"wdb", u"ftm",  u"cat", u"crb", u"ioc", u"yar", u"yara", u"pwdb", u"ign", u"ign2", u"imp"};
// The ones whose signatures the engine itself verifies as it loads them.
constexpr std::u16string_view kSignedContainers[] = {u"cvd", u"cld"};

std::u16string LowerExtension(std::u16string_view name) {
  size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos) return {};
  std::u16string extension(name.substr(dot + 1));
  for (char16_t& c : extension) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return extension;
}

bool IsSignedContainer(std::u16string_view name) {
  std::u16string extension = LowerExtension(name);
  return std::find(std::begin(kSignedContainers), std::end(kSignedContainers), extension) != std::end(kSignedContainers);
}

std::string Native(std::u16string_view text) { return std::string(NotesToNative(UnicodeToNotes(text))); }

std::string Utf8(Platform* p, std::u16string_view text) {
  std::string utf8;
  if (p->Translate(kTranslateLmbcsToUtf8, UnicodeToNotes(text), &utf8) != kNoError) return {};
  return utf8;
}

std::string NativeOfUtf8(Platform* p, std::string_view utf8) {
  std::string notes;
  if (p->Translate(kTranslateUtf8ToLmbcs, utf8, &notes) != kNoError) return "?";
  return std::string(NotesToNative(notes));
}

std::string WithNativeName(Msg message, const std::string& name) {
  char text[1024];
  std::snprintf(text, sizeof text, MessageText(message), name.c_str());
  return text;
}

std::string WithName(Msg message, std::u16string_view name) { return WithNativeName(message, Native(name)); }

std::u16string PathIn(std::u16string_view folder, std::u16string_view name) {
  return std::u16string(folder) + u"\\" + std::u16string(name);
}

// A name the platform could not address as one file of this folder (a
// separator in it), or that hides in a listing (a control character).
bool NameAllowed(std::u16string_view name) {
  if (name == u"." || name == u"..") return false;
  return std::none_of(name.begin(), name.end(),
                      [](char16_t c) { return c == u'/' || c == u'\\' || c < 0x20 || c == 0x7F; });
}

std::u16string Printable(std::u16string name) {
  for (char16_t& c : name) {
    if (c < 0x20 || c == 0x7F) c = u'?';
  }
  return name;
}

std::string FingerprintOf(std::vector<FolderEntry> entries) {
  std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  std::string print;
  for (const FolderEntry& entry : entries) {
    print.append(reinterpret_cast<const char*>(entry.name.data()), entry.name.size() * sizeof(char16_t));
    for (uint64_t value : {static_cast<uint64_t>(entry.kind), entry.size, entry.identity, entry.changed}) {
      print.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    print.push_back('\n');
  }
  return print;
}

// The refusal carries the kernel's own code, which the load logs.
Status Refuse(const std::string& reason) { return Status::FromKernel(ZUL_E_BASES_NOT_PROVEN, reason); }

// Every entry but the index is a regular file the index lists, alike in
// size and digest, and every listed file is there.
Status ProveByIndex(Platform* p, std::u16string_view folder, const std::vector<FolderEntry>& entries) {
  std::string index;
  size_t signedLength = 0;
  if (p->FileRead(PathIn(folder, kIndexName), &index) != kNoError) return Refuse(MessageText(Msg::BasesIndexUnreadable));
  if (VerifySignedContent(index, &signedLength) != 0) return Refuse(MessageText(Msg::BasesIndexNotVerified));
  BasesListing listing;
  if (!ReadBasesListing(std::string_view(index).substr(0, signedLength), &listing)) {
    return Refuse(MessageText(Msg::BasesIndexWithoutListing));
  }
  std::set<std::string, std::less<>> present;
  for (const FolderEntry& entry : entries) {
    if (entry.name == kIndexName) continue;
    std::string name = Utf8(p, entry.name);
    if (entry.kind != FolderEntryKind::kFile) return Refuse(WithName(Msg::BasesEntryNotFile, entry.name));
    auto listed = listing.find(name);
    if (listed == listing.end()) return Refuse(WithName(Msg::BasesFileNotListed, entry.name));
    std::string digest;
    if (entry.size != listed->second.size || FileSha256(PathIn(folder, entry.name), &digest) != kNoError ||
        digest != listed->second.sha256) {
      return Refuse(WithName(Msg::BasesFileChanged, entry.name));
    }
    present.insert(std::move(name));
  }
  for (const auto& [name, file] : listing) {
    if (present.count(name) == 0) return Refuse(WithNativeName(Msg::BasesFileMissing, NativeOfUtf8(p, name)));
  }
  return Status::OK();
}

// Every file the engine would load is a container it verifies itself.
Status ProveAsContainers(const std::vector<FolderEntry>& entries) {
  for (const FolderEntry& entry : entries) {
    if (!EngineLoadsFile(entry.name)) continue;
    if (entry.kind != FolderEntryKind::kFile) return Refuse(WithName(Msg::BasesEntryNotFile, entry.name));
    if (!IsSignedContainer(entry.name)) return Refuse(WithName(Msg::BasesLooseFile, entry.name));
  }
  return Status::OK();
}

}  // namespace

bool EngineLoadsFile(std::u16string_view name) {
  std::u16string extension = LowerExtension(name);
  return std::find(std::begin(kEngineExtensions), std::end(kEngineExtensions), extension) != std::end(kEngineExtensions);
}

Status ProveBasesFolder(std::u16string_view folder, BasesProof* proof, std::string* fingerprint) {
  Platform* p = ProcessPlatform();
  if (p == nullptr) return Status::Failed("no platform");
  if (fingerprint != nullptr) fingerprint->clear();
  if (p->IniGetNumber("ZulBasesUnsigned") == 1) {
    *proof = BasesProof::kUnsignedAllowed;
    return Status::OK();
  }
  std::vector<FolderEntry> entries;
  if (p->FolderList(folder, &entries) != kNoError) return Refuse(MessageText(Msg::BasesFolderUnreadable));
  // A name that does not convert could be any file to the engine, and one
  // with a separator in it would be read here as another file than the one
  // the engine loads.
  for (const FolderEntry& entry : entries) {
    if (entry.name.empty()) return Refuse(MessageText(Msg::BasesNameUnreadable));
    if (!NameAllowed(entry.name)) return Refuse(WithName(Msg::BasesNameNotAllowed, Printable(entry.name)));
  }
  if (fingerprint != nullptr) *fingerprint = FingerprintOf(entries);
  auto index = std::find_if(entries.begin(), entries.end(), [](const FolderEntry& e) { return e.name == kIndexName; });
  if (index == entries.end()) {
    if (Status s = ProveAsContainers(entries); !s.ok()) return s;
    *proof = BasesProof::kClamavContainers;
    return Status::OK();
  }
  if (index->kind != FolderEntryKind::kFile) return Refuse(WithName(Msg::BasesEntryNotFile, kIndexName));
  if (Status s = ProveByIndex(p, folder, entries); !s.ok()) return s;
  *proof = BasesProof::kSignedIndex;
  return Status::OK();
}

Status ConfirmBasesUnchanged(std::u16string_view folder, const std::string& fingerprint) {
  if (fingerprint.empty()) return Status::OK();
  Platform* p = ProcessPlatform();
  std::vector<FolderEntry> entries;
  if (p == nullptr || p->FolderList(folder, &entries) != kNoError || FingerprintOf(entries) != fingerprint) {
    return Refuse(MessageText(Msg::BasesChangedWhileLoading));
  }
  return Status::OK();
}

std::string ProofLine(std::u16string_view folder, BasesProof proof) {
  Msg message = proof == BasesProof::kSignedIndex        ? Msg::BasesProvenBySignedIndex
                : proof == BasesProof::kClamavContainers ? Msg::BasesProvenAsContainers
                                                         : Msg::BasesLoadedUnsigned;
  return WithName(message, folder);
}

std::string RefusalLine(std::u16string_view folder, const std::string& why) {
  char text[2048];
  std::snprintf(text, sizeof text, MessageText(Msg::BasesNotProven), Native(folder).c_str(), why.c_str());
  return text;
}

notesapi::Status FileSha256(std::u16string_view path, std::string* digest) {
  Platform* p = ProcessPlatform();
  if (p == nullptr) return kBadArgument;
  Sha256 sha;
  std::string part;
  for (uint64_t offset = 0;; offset += part.size()) {
    if (notesapi::Status s = p->FileReadPart(path, offset, kDigestPart, &part); s != kNoError) return s;
    if (part.empty()) break;
    sha.Update(part);
  }
  std::string hex = sha.Finish();
  if (hex.empty()) return kFileError;
  *digest = std::move(hex);
  return kNoError;
}

}  // namespace zul
