#include "base/text_conversions.h"

#include <array>

#include "notesapi/process_platform.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kRingSize = 100;

template <typename Text>
struct Ring {
  std::array<Text, kRingSize> areas;
  size_t next = 0;
  Text& Take() {
    Text& area = areas[next];
    next = (next + 1) % kRingSize;
    return area;
  }
};

std::string Translate(uint16_t mode, std::string_view in) {
  Platform* platform = ProcessPlatform();
  std::string out;
  if (platform == nullptr || platform->Translate(mode, in, &out) != kNoError) return {};
  return out;
}

// The longest prefix of `in` whose translation fits `maxBytes`. The input is
// cut in steps of `step` bytes (2 for UTF-16) so no input unit is split.
std::string TranslateWithin(uint16_t mode, std::string_view in, size_t maxBytes, size_t step) {
  std::string whole = Translate(mode, in);
  if (whole.size() <= maxBytes) return whole;
  size_t low = 0;
  size_t high = in.size() / step;
  std::string best;
  while (low < high) {
    size_t middle = (low + high + 1) / 2;
    std::string candidate = Translate(mode, in.substr(0, middle * step));
    if (candidate.size() <= maxBytes) {
      low = middle;
      best = std::move(candidate);
    } else {
      high = middle - 1;
    }
  }
  return best;
}

std::string_view AsBytes(std::u16string_view text) {
  return std::string_view(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

}  // namespace

std::string_view NativeToNotes(std::string_view native) {
  static std::string area;
  area = TranslateWithin(kTranslateNativeToLmbcs, native, kTranslationAreaBytes, 1);
  return area;
}

std::string_view NotesToNative(std::string_view notes) {
  static Ring<std::string> ring;
  std::string& area = ring.Take();
  area = TranslateWithin(kTranslateLmbcsToNative, notes, kTranslationAreaBytes, 1);
  return area;
}

std::string_view UnicodeToNotes(std::u16string_view unicode) {
  static Ring<std::string> ring;
  std::string& area = ring.Take();
  area = TranslateWithin(kTranslateUnicodeToLmbcs, AsBytes(unicode), kTranslationAreaBytes, 2);
  return area;
}

std::u16string_view NotesToUnicode(std::string_view notes) {
  static Ring<std::u16string> ring;
  std::u16string& area = ring.Take();
  std::string bytes = TranslateWithin(kTranslateLmbcsToUnicode, notes, 2 * kTranslationAreaBytes, 1);
  area.assign(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < area.size(); ++i) {
    area[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
  }
  return area;
}

std::string NativeToNotesWithin(std::string_view native, size_t maxBytes) {
  return TranslateWithin(kTranslateNativeToLmbcs, native, maxBytes, 1);
}

}  // namespace zul
