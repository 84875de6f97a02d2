// The texts of the statuses the platform knows.
#ifndef NOTESAPI_HOST_INTERNAL_STATUS_TEXTS_H_
#define NOTESAPI_HOST_INTERNAL_STATUS_TEXTS_H_

#include <string>

#include "notesapi/status.h"

namespace notesapi::host {

// ASCII text of the status (masked with 0x3FFF), at most 255 bytes.
std::string TextOfStatus(Status status);

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_STATUS_TEXTS_H_
