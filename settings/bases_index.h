// The file list of a signed bases index "master.xml": every file of the set
// with the size and SHA-256 it was signed with, so that the signature
// covers the signatures themselves and not the date alone.
//
//   <UpdateFiles UpdateDate="DDMMYYYY HHMM">
//     <FileDescription Filename="daily.ndb" Size="1234" SHA256="<64 hex digits>" Comment="..."/>
//   </UpdateFiles>
//
// Read by the bases proof (bases_proof.h) from content already verified;
// written by "zulctl bases sign" before it signs.
#ifndef SETTINGS_BASES_INDEX_H_
#define SETTINGS_BASES_INDEX_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace zul {

struct ListedFile {
  uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
};

// By file name as the index writes it (UTF-8).
using BasesListing = std::map<std::string, ListedFile, std::less<>>;

// The listing of index content without its signature blocks. False when
// the XML does not parse, has no root "UpdateFiles", or an entry lacks a
// name, a decimal Size or a SHA256 of 64 hex digits, or a name is listed
// twice: such an index proves nothing.
bool ReadBasesListing(std::string_view content, BasesListing* listing);

// The index content with its listing made `files`: the entry of a file
// still there keeps its place and other attributes, new files get entries
// at the end, entries of files gone are dropped (named in *dropped, one per
// line). False when the content is no index.
bool WriteBasesListing(std::string_view content, const BasesListing& files, std::string* rewritten,
                       std::string* dropped);

// SHA-256 of bytes given in parts.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(std::string_view bytes);
  // 64 lower-case hex digits; empty if the digest could not be made.
  std::string Finish();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* context) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> context_;
  bool failed_ = false;
};

}  // namespace zul

#endif  // SETTINGS_BASES_INDEX_H_
