// Builds a settings database for tests: one document per form with the
// items a test gives, and the profile "UIDStorage" that finds them.
#ifndef TESTS_SETTINGS_SETTINGS_DATABASE_BUILDER_H_
#define TESTS_SETTINGS_SETTINGS_DATABASE_BUILDER_H_

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "notesapi/item_values.h"
#include "notesapi/scoped_handles.h"
#include "settings/settings_records.h"

namespace zul::testing {

using Items = std::map<std::string, std::string>;  // item name -> encoded value

inline std::string T(const std::string& text) { return notesapi::EncodeTextValue(text); }
inline std::string N(double number) { return notesapi::EncodeNumberValue(number); }

class SettingsDatabaseBuilder {
 public:
  // Forms keyed by their UIDStorage item, with a working default for each.
  std::map<std::string, Items> forms = {{"uidCommonSettings", {{"gsAdministrators", T("CN=Admin/O=Tervala")}}},
                                        {"uidObjectActions", {}},
                                        {"uidMonitorSettings", {{"msDisableTask", T("1")}}},
                                        {"uidOutbreak", {}},
                                        {"uidUpdaterSettings", {}},
                                        {"uidKernelSettings", {{"ksFlags", T("1;2;3;4;5;6")}}},
                                        {"uidInformation", {}},
                                        {"uidUpdaterStatus", {}}};
  std::map<std::string, notesapi::NoteInfo> notes;

  void Build(notesapi::Platform* p, const std::string& path) {
    using namespace notesapi;
    notesapi::Status created = p->DbCreate(path, "Settings");
    ASSERT_TRUE(created == kNoError || created == kDatabaseExists);
    ScopedDb db(p);
    ASSERT_EQ(p->DbOpen(path, db.put()), kNoError);
    // The tasks' work folders go into the test's own server directory, never
    // into the root folder that an empty temporary folder names.
    Items& general = forms["uidCommonSettings"];
    std::string program;
    if (!general.contains("gsTemporaryFolder") && p->IniGetText("NotesProgram", 1024, &program)) {
      general["gsTemporaryFolder"] = T(program.substr(0, program.rfind('/')) + "/tmp");
    }
    ScopedNote profile(p);
    ASSERT_EQ(p->ProfileOpen(db.get(), "UIDStorage", true, profile.put()), kNoError);
    for (const auto& [uidItem, items] : forms) {
      ScopedNote note(p);
      ASSERT_EQ(p->NoteCreate(db.get(), note.put()), kNoError);
      for (const auto& [name, value] : items) ASSERT_EQ(p->ItemAppend(note.get(), 0, name, value, nullptr), kNoError);
      ASSERT_EQ(p->NoteUpdate(note.get(), kUpdateForce), kNoError);
      ASSERT_EQ(p->NoteGetInfo(note.get(), &notes[uidItem]), kNoError);
      ASSERT_EQ(p->ItemSetText(profile.get(), uidItem, UnidToText(notes[uidItem].unid)), kNoError);
    }
    ASSERT_EQ(p->NoteUpdate(profile.get(), kUpdateForce), kNoError);
  }
};

}  // namespace zul::testing

#endif  // TESTS_SETTINGS_SETTINGS_DATABASE_BUILDER_H_
