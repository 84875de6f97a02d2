// Bases folders for tests, signed the way "zulctl bases sign" signs them:
// every file listed in master.xml with its size and SHA-256, and a signature
// block made with a key (the built-in one unless given).
#ifndef TESTS_SETTINGS_SIGNED_BASES_H_
#define TESTS_SETTINGS_SIGNED_BASES_H_

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/bases_date.h"
#include "settings/bases_index.h"

namespace zul::testing {

inline std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The MD5 of bytes in hex, as hash signatures ("MD5:size:name") name them.
inline std::string Md5Hex(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// Writes `folder`/master.xml dated `date` ("DDMMYYYY HHMM") listing every
// other file of the folder, signed with `key`.
inline void SignBasesFolder(const std::string& folder, const std::string& date = "01012026 0000",
                            const BasesKey& key = BuiltInBasesKey()) {
  BasesListing listing;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename() == "master.xml" || !entry.is_regular_file()) continue;
    std::string bytes = FileBytes(entry.path());
    Sha256 sha;
    sha.Update(bytes);
    listing[entry.path().filename().string()] = ListedFile{bytes.size(), sha.Finish()};
  }
  std::string index;
  std::string dropped;
  ASSERT_TRUE(WriteBasesListing("<?xml version=\"1.0\"?>\n<UpdateFiles UpdateDate=\"" + date + "\">\n</UpdateFiles>\n",
                                listing, &index, &dropped));
  std::ofstream(folder + "/master.xml", std::ios::binary | std::ios::trunc) << index << MakeSignatureBlock(index, key);
}

}  // namespace zul::testing

#endif  // TESTS_SETTINGS_SIGNED_BASES_H_
