#include "settings/settings_reader.h"

#include <cmath>
#include <filesystem>
#include <map>

#include "notesapi/item_values.h"
#include "notesapi/scoped_handles.h"
#include "settings/settings_records.h"
#include "settings/settings_schema.h"
#include "settings/settings_writer.h"
#include "tests/task_fixture.h"

namespace zul::testing {
namespace {

using namespace notesapi;

using Items = std::map<std::string, std::string>;  // name -> encoded value

std::string T(const std::string& text) { return EncodeTextValue(text); }
std::string N(double number) { return EncodeNumberValue(number); }

class SettingsTest : public TaskTest {
 protected:
  void SetUp() override {
    ResetSettingsRecords();
    Variables().setupDatabase = "zulsetup.nsf";
    Variables().logConsole = 1;
    ASSERT_EQ(host_->DbCreate("zulsetup.nsf", "Settings"), kNoError);
    ASSERT_EQ(host_->DbOpen("zulsetup.nsf", db_.put()), kNoError);
    temporary_ = server_.directory() + "/tmp/deep";
    forms_ = {{"uidCommonSettings", {{"gsAdministrators", T("CN=Admin/O=Tervala")}, {"gsTemporaryFolder", T(temporary_)}}},
              {"uidObjectActions", {}},
              {"uidMonitorSettings", {{"msDisableTask", T("1")}}},
              {"uidOutbreak", {}},
              {"uidUpdaterSettings", {{"usDatabaseFolder", T("/var/bases")}}},
              {"uidKernelSettings", {{"usBasesType", T("3")}}},
              {"uidInformation", {}},
              {"uidUpdaterStatus", {}}};
  }
  // Writes every form document and the profile that finds them.
  void Build() {
    ScopedNote profile(host_.get());
    ASSERT_EQ(host_->ProfileOpen(db_.get(), "UIDStorage", true, profile.put()), kNoError);
    for (const auto& [uidItem, items] : forms_) {
      ScopedNote note(host_.get());
      ASSERT_EQ(host_->NoteCreate(db_.get(), note.put()), kNoError);
      for (const auto& [name, value] : items) ASSERT_EQ(host_->ItemAppend(note.get(), 0, name, value, nullptr), kNoError);
      ASSERT_EQ(host_->NoteUpdate(note.get(), kUpdateForce), kNoError);
      NoteInfo info;
      ASSERT_EQ(host_->NoteGetInfo(note.get(), &info), kNoError);
      ids_[uidItem] = info;
      ASSERT_EQ(host_->ItemSetText(profile.get(), uidItem, UnidToText(info.unid)), kNoError);
    }
    ASSERT_EQ(host_->NoteUpdate(profile.get(), kUpdateForce), kNoError);
  }
  void DeleteForm(const std::string& uidItem) { ASSERT_EQ(host_->NoteDelete(db_.get(), ids_[uidItem].noteId), kNoError); }
  std::vector<std::string> Console() { return platform_->lines; }

  ScopedDb db_{host_.get()};
  std::map<std::string, Items> forms_;
  std::map<std::string, NoteInfo> ids_;
  std::string temporary_;
};

TEST(UnidTextTest, ExactlyThirtyTwoHexDigitsInWordOrder) {
  Unid unid;
  ASSERT_TRUE(UnidFromText("0000000200000001000000040000000A", &unid));
  EXPECT_EQ(unid.file.innards[0], 1u);
  EXPECT_EQ(unid.file.innards[1], 2u);
  EXPECT_EQ(unid.note.innards[0], 0xAu);
  EXPECT_EQ(unid.note.innards[1], 4u);
  EXPECT_EQ(UnidToText(unid), "0000000200000001000000040000000A");
  Unid kept = unid;
  EXPECT_FALSE(UnidFromText("0000000200000001000000040000000", &kept));
  EXPECT_FALSE(UnidFromText("0000000200000001000000040000000AB", &kept));
  EXPECT_FALSE(UnidFromText("000000020000000100000004000000G0", &kept));
  EXPECT_EQ(kept, unid) << "a bad text leaves the ID as it was";
}

TEST_F(SettingsTest, ItemRulesOfEveryForm) {
  forms_["uidObjectActions"] = {{"acNotify3", T("3")},       {"acNotify2", T("0;1;2;4")}, {"acStat2", T("1")},
                                {"acAction0", T("1")},       {"acQuarantine0", T("0")},   {"acAction1", T("0")},
                                {"acAction2", T("")},        {"acQuarantine2", T("0")},   {"acAction4", T("0")},
                                {"acQuarantine4", T("1")},   {"acStamp2", T(std::string("line one\0line two", 17))}};
  forms_["uidMonitorSettings"] = {{"msDisableTask", T("0")},      {"msMonitoredObjects", T("2")},
                                  {"msSizeValue", N(std::nan(""))}, {"msTypeEnabled", T("0;3")},
                                  {"msNameFilter", T("*.exe;Файл.doc")}};
  forms_["uidOutbreak"] = {{"obEnabled0", T("1")}, {"obPeriod0", N(5)}, {"obPeriodSelector0", T("2")},
                           {"obValue1", N(1e12)},  {"obPeriod1", N(7)}, {"obPeriodSelector1", T("9")}};
  forms_["uidKernelSettings"] = {{"ksFlags", T("16")}, {"usBasesType", T("abc")}, {"ksEncrypted", T("1")}};
  forms_["uidUpdaterSettings"] = {{"usScheduleDisabled", T("0")}, {"usPeriodSelector", T("1")}};
  Build();
  OutbreakRules()[1].periodSeconds = 42;
  ASSERT_TRUE(ReadAllSettings(TaskKind::kMailMonitor).ok());

  const ObjectActionTable& a = ObjectActions();
  EXPECT_EQ(a[3].notifyFlags, 0) << "a 3 in acNotify sets nothing";
  EXPECT_EQ(a[2].notifyFlags, NotifyRecipients | NotifySender | NotifyAdmin | AddToBody | RecordStatistics);
  EXPECT_EQ(a[0].action, ActionPass) << "entry 0 always passes";
  EXPECT_EQ(a[0].quarantine, 0);
  EXPECT_EQ(a[1].action, ActionReplaceCured);
  EXPECT_EQ(a[2].action, ActionDelete) << "an empty action deletes";
  EXPECT_EQ(a[2].quarantine, 1) << "\"0\" keeps a copy";
  EXPECT_EQ(a[4].action, ActionPass);
  EXPECT_EQ(a[4].quarantine, 0);
  EXPECT_EQ(a[5].action, ActionDelete) << "a missing action deletes";
  EXPECT_EQ(a[2].stampText, "line one\nline two");
  EXPECT_EQ(a[10].recordType, 150u);

  const MonitorSettings& m = Monitor();
  EXPECT_EQ(m.scanningOff, 1) << "msDisableTask \"0\" switches scanning off";
  EXPECT_EQ(m.monitoredObjects, 0x04);
  EXPECT_EQ(m.sizeLimit, 0) << "not a number: the default";
  EXPECT_EQ(m.typeFilter, 0x09);
  EXPECT_EQ(m.nameFilter, "*.EXE;Файл.DOC") << "only ASCII letters are upper-cased";

  EXPECT_EQ(OutbreakRules()[0].periodSeconds, 300);
  EXPECT_EQ(OutbreakRules()[1].periodSeconds, 42) << "an unknown unit keeps the period";
  EXPECT_EQ(OutbreakRules()[1].threshold, INT32_MAX) << "a huge number is clamped";

  EXPECT_EQ(KernelSettings().scanFlags, 0x42u) << "\"16\" holds the digits 1 and 6";
  EXPECT_EQ(KernelSettings().basesType, 0);
  EXPECT_EQ(KernelOptions().encryptedObjects, 1);
  EXPECT_EQ(KernelSettings().engineTimeout, 5000);
  EXPECT_EQ(KernelSettings().engineCount, 1);

  EXPECT_EQ(Updater().scheduleOff, 1) << "usScheduleDisabled \"0\" switches the schedule off";
  EXPECT_EQ(Updater().dailyMode, 1);
  EXPECT_EQ(Updater().upTime2, host_->TimeConstant(TimeConstantKind::kWildcard));
}

// The engine's count and time-out a new site is given are the ones the
// tasks take when the kernel document lacks them: one default each.
TEST_F(SettingsTest, EngineDefaultsOfANewSiteAndOfAMissingItemAgree) {
  Build();
  KernelSettings().engineTimeout = KernelSettings().engineCount = -1;
  ASSERT_TRUE(ReadAllSettings(TaskKind::kMailMonitor).ok());
  for (const auto& [item, read] : {std::pair{"ksEngineTimeOut", &KernelSettings().engineTimeout},
                                   std::pair{"ksEngineCount", &KernelSettings().engineCount}}) {
    const ItemSchema* schema = SettingsItem(item);
    ASSERT_NE(schema, nullptr) << item;
    EXPECT_EQ(*read, std::stoi(schema->initial)) << item;
    EXPECT_EQ(*read, schema->absent) << item;
  }
}

TEST_F(SettingsTest, KernelRecordAndWorkFolderAfterAFullRead) {
  Build();
  ASSERT_TRUE(ReadAllSettings(TaskKind::kMailMonitor).ok());
  std::u16string work = std::u16string(temporary_.begin(), temporary_.end()) + u"\\zulmailmonitor\\";
  EXPECT_EQ(General().taskWorkFolder, work);
  EXPECT_TRUE(std::filesystem::is_directory(temporary_ + "/zulmailmonitor")) << "created with its parents";
  EXPECT_EQ(KernelSettings().tempFolder, work + u"\\ftemp");
  EXPECT_EQ(KernelSettings().storeFolder, work + u"\\fstore");
  EXPECT_EQ(KernelSettings().basesFolder, u"/var/bases");
  EXPECT_EQ(KernelSettings().basesType, 3);
  EXPECT_EQ(Monitor().scanningOff, 0);
  EXPECT_TRUE(Console().empty());
  ASSERT_TRUE(ReadAllSettings(TaskKind::kUpdater).ok());
  EXPECT_TRUE(std::filesystem::is_directory(temporary_ + "/zulupdater"));
}

TEST_F(SettingsTest, AFailingDocumentStopsTheReadAndLeavesEarlierRecords) {
  forms_["uidOutbreak"] = {{"obEnabled0", T("1")}};
  Build();
  DeleteForm("uidMonitorSettings");
  ASSERT_FALSE(ReadAllSettings(TaskKind::kMailMonitor).ok());
  EXPECT_EQ(General().administrators, "CN=Admin/O=Tervala") << "read before the failure";
  EXPECT_EQ(OutbreakRules()[0].enabled, 0) << "after the failure: not read";
  std::string status = host_->StatusText(kNoteNotFound);
  ASSERT_EQ(Console().size(), 2u);
  EXPECT_EQ(Console()[0], Lmbcs("ZulMailMonitor: Ошибка открытия профиля formMonitorSettings. Ошибка: ") + status + "\n");
  EXPECT_EQ(Console()[1], Lmbcs("ZulMailMonitor: Ошибка чтения настроек из zulsetup.nsf.\n Ошибка: ") + status + "\n");
}

TEST_F(SettingsTest, UpdaterNamesTheDocumentItCouldNotRead) {
  Build();
  DeleteForm("uidKernelSettings");
  SetTaskName("ZulUpdater");
  ASSERT_FALSE(ReadAllSettings(TaskKind::kUpdater).ok());
  ASSERT_EQ(Console().size(), 2u);
  EXPECT_EQ(Console()[1].find(Lmbcs("ZulUpdater: Ошибка чтения тонких настроек ядра из zulsetup.nsf.\n")), 0u);
}

TEST_F(SettingsTest, MissingDatabaseOrProfile) {
  Variables().setupDatabase = "nowhere.nsf";
  ASSERT_FALSE(ReadAllSettings(TaskKind::kMailMonitor).ok());
  ASSERT_EQ(Console().size(), 1u);
  EXPECT_EQ(Console()[0], Lmbcs("ZulMailMonitor: Ошибка открытия базы настроек nowhere.nsf.\n Ошибка: ") +
                              host_->StatusText(kDatabaseNotFound) + "\n");
  Variables().setupDatabase = "zulsetup.nsf";
  EXPECT_FALSE(ReadAllSettings(TaskKind::kMailMonitor).ok()) << "no UIDStorage";
}

TEST_F(SettingsTest, InformationDocumentItems) {
  Build();
  ASSERT_TRUE(ReadAllSettings(TaskKind::kMailMonitor).ok());
  BasesDate date{126, 11, 7, 9, 5, 0, 1};
  EXPECT_EQ(WriteInformation(2, date), 1);
  ScopedNote note(host_.get());
  ASSERT_EQ(host_->NoteOpen(db_.get(), ids_["uidInformation"].noteId, 0, note.put()), kNoError);
  std::string text;
  EXPECT_EQ(host_->ItemGetNumber(note.get(), "iAVCount", 0), 2);
  ASSERT_EQ(host_->ItemGetText(note.get(), "iAVDate", 100, &text), kNoError);
  EXPECT_EQ(text, "2026-12-07 09:05");
  ASSERT_EQ(host_->ItemGetText(note.get(), "iVersion", 100, &text), kNoError);
  EXPECT_EQ(text, "v5.5.1392 (ru, release-ru)");
  ASSERT_EQ(host_->ItemGetText(note.get(), "infServerName", 100, &text), kNoError);
  EXPECT_EQ(text, "CN=Test/O=Tervala");
  DeleteForm("uidInformation");
  EXPECT_EQ(WriteInformation(0, std::nullopt), 1) << "the database opened";
  ASSERT_EQ(Console().size(), 2u);
  EXPECT_EQ(Console()[1].find(Lmbcs("ZulMailMonitor: Ошибка записи информационных полей.")), 0u);
  Variables().setupDatabase = "nowhere.nsf";
  EXPECT_EQ(WriteInformation(0, std::nullopt), 0);
}

TEST_F(SettingsTest, UpdaterStatusDocument) {
  Build();
  ASSERT_TRUE(ReadAllSettings(TaskKind::kUpdater).ok());
  EXPECT_EQ(WriteUpdaterStatus(5, nullptr), 0) << "nothing to write";
  EXPECT_EQ(platform_->CallCount("DbOpen"), 1u) << "not even the database is opened";
  std::string updating = "Updating";
  EXPECT_EQ(WriteUpdaterStatus(2, &updating), 1);
  ScopedNote note(host_.get());
  ASSERT_EQ(host_->NoteOpen(db_.get(), ids_["uidUpdaterStatus"].noteId, 0, note.put()), kNoError);
  EXPECT_EQ(host_->ItemGetNumber(note.get(), "UpdaterStatus", 0), 2);
  std::string text;
  ASSERT_EQ(host_->ItemGetText(note.get(), "UpdaterStatusText", 100, &text), kNoError);
  EXPECT_EQ(text, "Updating");
  platform_->FailCall("ItemSetText", platform_->CallCount("ItemSetText") + 1, kInjectedFault);
  std::string empty;
  EXPECT_EQ(WriteUpdaterStatus(1, &empty), 0) << "a failed write is not saved";
  ScopedNote again(host_.get());
  ASSERT_EQ(host_->NoteOpen(db_.get(), ids_["uidUpdaterStatus"].noteId, 0, again.put()), kNoError);
  EXPECT_EQ(host_->ItemGetNumber(again.get(), "UpdaterStatus", 0), 2);
}

}  // namespace
}  // namespace zul::testing
