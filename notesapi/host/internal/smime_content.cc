#include "notesapi/host/internal/smime_content.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <climits>
#include <memory>

namespace notesapi::host {

namespace {

struct CmsFree {
  void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

// What a compressed-data structure holds, when this library can inflate it.
bool Uncompressed(CMS_ContentInfo* cms, std::string* inner) {
  std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
  if (!out || CMS_uncompress(cms, nullptr, out.get(), 0) != 1) return false;
  char* data = nullptr;
  long length = BIO_get_mem_data(out.get(), &data);
  inner->assign(data, length > 0 ? static_cast<size_t>(length) : 0);
  return true;
}

}  // namespace

SmimeContent ReadSmimeContent(std::string_view der, std::string* inner) {
  if (der.empty() || der.size() > static_cast<size_t>(LONG_MAX)) return SmimeContent::kNone;
  const unsigned char* at = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<CMS_ContentInfo, CmsFree> cms(d2i_CMS_ContentInfo(nullptr, &at, static_cast<long>(der.size())));
  ERR_clear_error();  // a failed parse leaves its reasons on this thread's queue
  if (!cms) return SmimeContent::kNone;
  switch (OBJ_obj2nid(CMS_get0_type(cms.get()))) {
    case NID_pkcs7_signed: {
      ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
      if (content == nullptr || *content == nullptr) return SmimeContent::kNone;  // a detached signature
      inner->assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)),
                    static_cast<size_t>(ASN1_STRING_length(*content)));
      return SmimeContent::kSigned;
    }
    case NID_id_smime_ct_compressedData: {
      bool read = Uncompressed(cms.get(), inner);
      ERR_clear_error();
      return read ? SmimeContent::kSigned : SmimeContent::kUnreadable;
    }
    case NID_pkcs7_enveloped:
    case NID_pkcs7_encrypted:
    case NID_id_smime_ct_authEnvelopedData:
      return SmimeContent::kEncrypted;
    default:
      return SmimeContent::kNone;
  }
}

}  // namespace notesapi::host
