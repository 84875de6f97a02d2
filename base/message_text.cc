#include "base/message_text.h"

#include <array>
#include <string>
#include <vector>

#include "notesapi/process_platform.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kRingSize = 100;
constexpr size_t kMaxLibraryText = 1023;

LibraryHandle g_library = kNullHandle;
std::array<std::string, kRingSize> g_ring;
size_t g_next = 0;

// Built-in texts in the native code page, converted once each.
const char* BuiltIn(Msg message) {
  static std::vector<std::string> converted;
  static std::vector<bool> done;
  size_t count = 0;
  (void)MessageCatalogue(&count);
  if (converted.empty()) {
    converted.resize(count);
    done.resize(count, false);
  }
  size_t index = static_cast<size_t>(message);
  const char* utf8 = CatalogueEntry(message).builtInUtf8;
  if (!done[index]) {
    Platform* platform = ProcessPlatform();
    std::string lmbcs;
    std::string native;
    if (platform == nullptr || platform->Translate(kTranslateUtf8ToLmbcs, utf8, &lmbcs) != kNoError ||
        platform->Translate(kTranslateLmbcsToNative, lmbcs, &native) != kNoError) {
      return utf8;  // not cached: a later call with a platform converts it
    }
    converted[index] = std::move(native);
    done[index] = true;
  }
  return converted[index].c_str();
}

}  // namespace

bool LoadMessageLibrary(std::u16string_view fileName) {
  Platform* platform = ProcessPlatform();
  if (platform == nullptr) return false;
  FreeMessageLibrary();
  return platform->LibraryLoad(fileName, &g_library) == kNoError;
}

std::u16string ConfiguredMessageLibrary() {
  Platform* platform = ProcessPlatform();
  std::string name;
  if (platform == nullptr || !platform->IniGetText("ZulMessageLibrary", 255, &name) || name.empty()) {
    return kMessageLibraryName;
  }
  return std::u16string(name.begin(), name.end());  // a file name: ASCII
}

void FreeMessageLibrary() {
  Platform* platform = ProcessPlatform();
  if (g_library != kNullHandle && platform != nullptr) (void)platform->LibraryFree(g_library);  // nothing to do on failure
  g_library = kNullHandle;
}

const char* MessageText(Msg message) {
  Platform* platform = ProcessPlatform();
  if (g_library != kNullHandle && platform != nullptr) {
    std::string text;
    if (platform->LibraryString(g_library, CatalogueEntry(message).id, &text) == kNoError) {
      std::string& area = g_ring[g_next];
      g_next = (g_next + 1) % kRingSize;
      area.assign(text, 0, std::min(text.size(), kMaxLibraryText));
      return area.c_str();
    }
  }
  return BuiltIn(message);
}

}  // namespace zul
