#include "settings/bases_index.h"

#include <openssl/evp.h>

#include <cstdio>
#include <vector>

#include "settings/xml_owners.h"

namespace zul {

namespace {

constexpr size_t kSha256Digits = 64;
constexpr size_t kMaxSizeDigits = 20;

std::string Attribute(xmlNode* node, const char* name) {
  XmlText text(xmlGetProp(node, XmlName(name)));
  return text ? reinterpret_cast<const char*>(text.get()) : std::string();
}

bool ParseSize(const std::string& text, uint64_t* size) {
  if (text.empty() || text.size() > kMaxSizeDigits) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *size = value;
  return true;
}

bool ParseSha256(std::string text, std::string* digest) {
  if (text.size() != kSha256Digits) return false;
  for (char& c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  *digest = std::move(text);
  return true;
}

bool IsEntry(const xmlNode* node) {
  return node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, XmlName("FileDescription"));
}

xmlNode* IndexRoot(xmlDoc* doc) {
  xmlNode* root = xmlDocGetRootElement(doc);
  return root != nullptr && xmlStrEqual(root->name, XmlName("UpdateFiles")) ? root : nullptr;
}

void SetEntry(xmlNode* entry, const ListedFile& file) {
  (void)xmlSetProp(entry, XmlName("Size"), XmlName(std::to_string(file.size).c_str()));  // a full tree would fail the dump
  (void)xmlSetProp(entry, XmlName("SHA256"), XmlName(file.sha256.c_str()));
}

// A new entry at the end of the root.
bool AppendEntry(xmlNode* root, const std::string& name, const ListedFile& file) {
  xmlNode* entry = xmlNewNode(nullptr, XmlName("FileDescription"));
  if (entry == nullptr) return false;
  (void)xmlSetProp(entry, XmlName("Filename"), XmlName(name.c_str()));
  SetEntry(entry, file);
  xmlAddChild(root, entry);
  return true;
}

// One child of the root per line: the blanks between them are made anew.
// A text added next to another text would be merged into it, so the old
// blanks go first and every new one sits between two other nodes.
bool Reindent(xmlNode* root) {
  for (xmlNode* node = root->children; node != nullptr;) {
    xmlNode* next = node->next;
    if (xmlNodeIsText(node) && xmlIsBlankNode(node)) {
      xmlUnlinkNode(node);
      xmlFreeNode(node);
    }
    node = next;
  }
  for (xmlNode* node = root->children; node != nullptr; node = node->next) {
    xmlNode* indent = xmlNewText(XmlName("\n  "));
    if (indent == nullptr || xmlAddPrevSibling(node, indent) == nullptr) return false;
  }
  return xmlAddChild(root, xmlNewText(XmlName("\n"))) != nullptr;
}

}  // namespace

bool ReadBasesListing(std::string_view content, BasesListing* listing) {
  XmlDoc doc = ParseIndexXml(content);
  xmlNode* root = doc ? IndexRoot(doc.get()) : nullptr;
  if (root == nullptr) return false;
  BasesListing read;
  for (xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (!IsEntry(node)) continue;
    std::string name = Attribute(node, "Filename");
    ListedFile file;
    if (name.empty() || !ParseSize(Attribute(node, "Size"), &file.size) ||
        !ParseSha256(Attribute(node, "SHA256"), &file.sha256)) {
      return false;
    }
    if (!read.emplace(std::move(name), std::move(file)).second) return false;  // two digests for one file
  }
  *listing = std::move(read);
  return true;
}

bool WriteBasesListing(std::string_view content, const BasesListing& files, std::string* rewritten,
                       std::string* dropped) {
  XmlDoc doc = ParseIndexXml(content);
  xmlNode* root = doc ? IndexRoot(doc.get()) : nullptr;
  if (root == nullptr) return false;
  BasesListing left = files;
  std::vector<xmlNode*> gone;
  for (xmlNode* node = root->children; node != nullptr; node = node->next) {
    if (!IsEntry(node)) continue;
    std::string name = Attribute(node, "Filename");
    auto file = left.find(name);
    if (file == left.end()) {
      gone.push_back(node);  // not in the folder, or listed twice
      if (!name.empty()) *dropped += name + "\n";
      continue;
    }
    SetEntry(node, file->second);
    left.erase(file);
  }
  for (xmlNode* node : gone) {
    xmlUnlinkNode(node);
    xmlFreeNode(node);
  }
  for (const auto& [name, file] : left) {
    if (!AppendEntry(root, name, file)) return false;
  }
  if (!Reindent(root)) return false;
  xmlChar* text = nullptr;
  int size = 0;
  const char* encoding = doc->encoding != nullptr ? reinterpret_cast<const char*>(doc->encoding) : "UTF-8";
  xmlDocDumpMemoryEnc(doc.get(), &text, &size, encoding);
  if (text == nullptr) return false;
  XmlText owned(text);
  rewritten->assign(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
  return true;
}

void Sha256::Free::operator()(evp_md_ctx_st* context) const { EVP_MD_CTX_free(context); }

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  failed_ = !context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(std::string_view bytes) {
  if (!failed_) failed_ = EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1;
}

std::string Sha256::Finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (failed_ || EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) return {};
  failed_ = true;  // finished: a second Finish gives nothing
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

}  // namespace zul
