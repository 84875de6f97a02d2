// Owners for GLib objects and strings handed out by GMime.
#ifndef NOTESAPI_HOST_INTERNAL_GOBJECT_PTR_H_
#define NOTESAPI_HOST_INTERNAL_GOBJECT_PTR_H_

#include <glib-object.h>

#include <memory>

namespace notesapi::host {

struct GObjectUnref {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeText {
  void operator()(char* text) const { g_free(text); }
};
using GText = std::unique_ptr<char, GFreeText>;

}  // namespace notesapi::host

#endif  // NOTESAPI_HOST_INTERNAL_GOBJECT_PTR_H_
