// A Platform that forwards every call to another one. It is the base of test
// doubles and of fault injection: a subclass overrides only the calls it
// cares about, or Intercept(), which sees the name of every service before
// it runs and can make it fail.
#ifndef NOTESAPI_PLATFORM_WRAPPER_H_
#define NOTESAPI_PLATFORM_WRAPPER_H_

#include "notesapi/platform.h"

namespace notesapi {

class PlatformWrapper : public Platform {
 public:
  // `target` must outlive the wrapper.
  explicit PlatformWrapper(Platform* target) : target_(target) {}
  Platform* target() const { return target_; }

  [[nodiscard]] Status AddInStart() override {
    if (Status s = Intercept("AddInStart")) return s;
    return target_->AddInStart();
  }
  [[nodiscard]] Status AddInEnd(Status taskStatus) override {
    if (Status s = Intercept("AddInEnd")) return s;
    return target_->AddInEnd(taskStatus);
  }
  ModuleHandle ResourceModule() override {
    return target_->ResourceModule();
  }
  [[nodiscard]] Status StatusLineQueryDefault(ModuleHandle* module, StatusLineHandle* line) override {
    if (Status s = Intercept("StatusLineQueryDefault")) return s;
    return target_->StatusLineQueryDefault(module, line);
  }
  [[nodiscard]] Status StatusLineDelete(StatusLineHandle line) override {
    if (Status s = Intercept("StatusLineDelete")) return s;
    return target_->StatusLineDelete(line);
  }
  [[nodiscard]] Status StatusLineCreate(std::string_view taskName, StatusLineHandle* line) override {
    if (Status s = Intercept("StatusLineCreate")) return s;
    return target_->StatusLineCreate(taskName, line);
  }
  [[nodiscard]] Status StatusLineSetDefault(ModuleHandle module, StatusLineHandle line) override {
    if (Status s = Intercept("StatusLineSetDefault")) return s;
    return target_->StatusLineSetDefault(module, line);
  }
  [[nodiscard]] Status StatusLineSetText(StatusLineHandle line, std::string_view text) override {
    if (Status s = Intercept("StatusLineSetText")) return s;
    return target_->StatusLineSetText(line, text);
  }
  [[nodiscard]] Status StatusLineSetDefaultText(std::string_view text) override {
    if (Status s = Intercept("StatusLineSetDefaultText")) return s;
    return target_->StatusLineSetDefaultText(text);
  }
  bool AddInShouldTerminate() override {
    if (Intercept("AddInShouldTerminate")) return false;
    return target_->AddInShouldTerminate();
  }
  bool AddInIdle() override {
    if (Intercept("AddInIdle")) return false;
    return target_->AddInIdle();
  }
  bool AddInIntervalElapsed(uint32_t seconds) override {
    if (Intercept("AddInIntervalElapsed")) return false;
    return target_->AddInIntervalElapsed(seconds);
  }
  [[nodiscard]] Status AcquireInstance(std::string_view program) override {
    if (Status s = Intercept("AcquireInstance")) return s;
    return target_->AcquireInstance(program);
  }
  [[nodiscard]] Status ReleaseInstance(std::string_view program) override {
    if (Status s = Intercept("ReleaseInstance")) return s;
    return target_->ReleaseInstance(program);
  }
  int32_t IniGetNumber(std::string_view name) override {
    return target_->IniGetNumber(name);
  }
  bool IniGetText(std::string_view name, size_t maxLength, std::string* value) override {
    if (Intercept("IniGetText")) return false;
    return target_->IniGetText(name, maxLength, value);
  }
  [[nodiscard]] Status IniSetText(std::string_view name, std::string_view value) override {
    if (Status s = Intercept("IniSetText")) return s;
    return target_->IniSetText(name, value);
  }
  [[nodiscard]] Status QueueOpen(std::string_view name, uint16_t options, QueueHandle* queue) override {
    if (Status s = Intercept("QueueOpen")) return s;
    return target_->QueueOpen(name, options, queue);
  }
  [[nodiscard]] Status QueuePut(QueueHandle queue, uint16_t priority, std::string_view message) override {
    if (Status s = Intercept("QueuePut")) return s;
    return target_->QueuePut(queue, priority, message);
  }
  [[nodiscard]] Status QueueGet(QueueHandle queue, size_t maxLength, std::string* message) override {
    if (Status s = Intercept("QueueGet")) return s;
    return target_->QueueGet(queue, maxLength, message);
  }
  [[nodiscard]] Status QueueClose(QueueHandle queue) override {
    if (Status s = Intercept("QueueClose")) return s;
    return target_->QueueClose(queue);
  }
  [[nodiscard]] Status DbCreate(std::string_view path, std::string_view title) override {
    if (Status s = Intercept("DbCreate")) return s;
    return target_->DbCreate(path, title);
  }
  [[nodiscard]] Status DbOpen(std::string_view path, DbHandle* db) override {
    if (Status s = Intercept("DbOpen")) return s;
    return target_->DbOpen(path, db);
  }
  [[nodiscard]] Status DbClose(DbHandle db) override {
    if (Status s = Intercept("DbClose")) return s;
    return target_->DbClose(db);
  }
  [[nodiscard]] Status BeginSaves() override {
    if (Status s = Intercept("BeginSaves")) return s;
    return target_->BeginSaves();
  }
  // A failed end still ends the group below, with nothing of it kept.
  [[nodiscard]] Status EndSaves(bool commit) override {
    if (Status s = Intercept("EndSaves")) {
      (void)target_->EndSaves(false);  // the failure reported is the one injected
      return s;
    }
    return target_->EndSaves(commit);
  }
  [[nodiscard]] Status DbNoteIds(DbHandle db, std::vector<NoteId>* ids) override {
    if (Status s = Intercept("DbNoteIds")) return s;
    return target_->DbNoteIds(db, ids);
  }
  [[nodiscard]] Status DbGetOption(DbHandle db, int option, bool* on) override {
    if (Status s = Intercept("DbGetOption")) return s;
    return target_->DbGetOption(db, option, on);
  }
  [[nodiscard]] Status DbSetOption(DbHandle db, int option, bool on) override {
    if (Status s = Intercept("DbSetOption")) return s;
    return target_->DbSetOption(db, option, on);
  }
  [[nodiscard]] Status NoteCreate(DbHandle db, NoteHandle* note) override {
    if (Status s = Intercept("NoteCreate")) return s;
    return target_->NoteCreate(db, note);
  }
  [[nodiscard]] Status NoteOpen(DbHandle db, NoteId id, uint32_t openFlags, NoteHandle* note) override {
    if (Status s = Intercept("NoteOpen")) return s;
    return target_->NoteOpen(db, id, openFlags, note);
  }
  [[nodiscard]] Status NoteOpenByUnid(DbHandle db, const Unid& unid, uint32_t openFlags, NoteHandle* note) override {
    if (Status s = Intercept("NoteOpenByUnid")) return s;
    return target_->NoteOpenByUnid(db, unid, openFlags, note);
  }
  [[nodiscard]] Status ProfileOpen(DbHandle db, std::string_view profileName, bool create, NoteHandle* note) override {
    if (Status s = Intercept("ProfileOpen")) return s;
    return target_->ProfileOpen(db, profileName, create, note);
  }
  [[nodiscard]] Status NoteGetInfo(NoteHandle note, NoteInfo* info) override {
    if (Status s = Intercept("NoteGetInfo")) return s;
    return target_->NoteGetInfo(note, info);
  }
  [[nodiscard]] Status NoteSetClass(NoteHandle note, uint16_t noteClass) override {
    if (Status s = Intercept("NoteSetClass")) return s;
    return target_->NoteSetClass(note, noteClass);
  }
  [[nodiscard]] Status NoteUpdate(NoteHandle note, uint16_t updateFlags) override {
    if (Status s = Intercept("NoteUpdate")) return s;
    return target_->NoteUpdate(note, updateFlags);
  }
  [[nodiscard]] Status NoteClose(NoteHandle note) override {
    if (Status s = Intercept("NoteClose")) return s;
    return target_->NoteClose(note);
  }
  [[nodiscard]] Status NoteDelete(DbHandle db, NoteId id) override {
    if (Status s = Intercept("NoteDelete")) return s;
    return target_->NoteDelete(db, id);
  }
  [[nodiscard]] Status ItemInfoByName(NoteHandle note, std::string_view name, ItemInfo* info) override {
    if (Status s = Intercept("ItemInfoByName")) return s;
    return target_->ItemInfoByName(note, name, info);
  }
  [[nodiscard]] Status ItemInfoFirst(NoteHandle note, ItemInfo* info) override {
    if (Status s = Intercept("ItemInfoFirst")) return s;
    return target_->ItemInfoFirst(note, info);
  }
  [[nodiscard]] Status ItemInfoNext(NoteHandle note, BlockId previous, std::string_view name, ItemInfo* info) override {
    if (Status s = Intercept("ItemInfoNext")) return s;
    return target_->ItemInfoNext(note, previous, name, info);
  }
  [[nodiscard]] Status ItemQuery(BlockId item, ItemInfo* info) override {
    if (Status s = Intercept("ItemQuery")) return s;
    return target_->ItemQuery(item, info);
  }
  [[nodiscard]] Status ItemValue(BlockId value, std::string* bytes) override {
    if (Status s = Intercept("ItemValue")) return s;
    return target_->ItemValue(value, bytes);
  }
  [[nodiscard]] Status ItemDelete(NoteHandle note, std::string_view name) override {
    if (Status s = Intercept("ItemDelete")) return s;
    return target_->ItemDelete(note, name);
  }
  [[nodiscard]] Status ItemDeleteByBlock(NoteHandle note, BlockId item) override {
    if (Status s = Intercept("ItemDeleteByBlock")) return s;
    return target_->ItemDeleteByBlock(note, item);
  }
  [[nodiscard]] Status ItemCopy(NoteHandle target, BlockId item) override {
    if (Status s = Intercept("ItemCopy")) return s;
    return target_->ItemCopy(target, item);
  }
  [[nodiscard]] Status ItemAppend(NoteHandle note, uint16_t flags, std::string_view name, std::string_view value, BlockId* item) override {
    if (Status s = Intercept("ItemAppend")) return s;
    return target_->ItemAppend(note, flags, name, value, item);
  }
  [[nodiscard]] Status ItemAppendFromMemory(NoteHandle note, uint16_t flags, std::string_view name, MemHandle block, size_t length) override {
    if (Status s = Intercept("ItemAppendFromMemory")) return s;
    return target_->ItemAppendFromMemory(note, flags, name, block, length);
  }
  [[nodiscard]] Status ItemGetText(NoteHandle note, std::string_view name, size_t maxLength, std::string* text) override {
    if (Status s = Intercept("ItemGetText")) return s;
    return target_->ItemGetText(note, name, maxLength, text);
  }
  double ItemGetNumber(NoteHandle note, std::string_view name, double defaultValue) override {
    if (Intercept("ItemGetNumber")) return defaultValue;
    return target_->ItemGetNumber(note, name, defaultValue);
  }
  bool ItemGetTime(NoteHandle note, std::string_view name, TimeDate* value) override {
    if (Intercept("ItemGetTime")) return false;
    return target_->ItemGetTime(note, name, value);
  }
  uint16_t ItemTextListCount(NoteHandle note, std::string_view name) override {
    return target_->ItemTextListCount(note, name);
  }
  [[nodiscard]] Status ItemTextListEntry(NoteHandle note, std::string_view name, uint16_t index, std::string* text) override {
    if (Status s = Intercept("ItemTextListEntry")) return s;
    return target_->ItemTextListEntry(note, name, index, text);
  }
  [[nodiscard]] Status ItemSetText(NoteHandle note, std::string_view name, std::string_view text) override {
    if (Status s = Intercept("ItemSetText")) return s;
    return target_->ItemSetText(note, name, text);
  }
  [[nodiscard]] Status ItemSetNumber(NoteHandle note, std::string_view name, double value) override {
    if (Status s = Intercept("ItemSetNumber")) return s;
    return target_->ItemSetNumber(note, name, value);
  }
  [[nodiscard]] Status ItemSetTime(NoteHandle note, std::string_view name, const TimeDate& value) override {
    if (Status s = Intercept("ItemSetTime")) return s;
    return target_->ItemSetTime(note, name, value);
  }
  [[nodiscard]] Status ItemCreateTextList(NoteHandle note, std::string_view name, std::string_view firstEntry) override {
    if (Status s = Intercept("ItemCreateTextList")) return s;
    return target_->ItemCreateTextList(note, name, firstEntry);
  }
  [[nodiscard]] Status ItemAppendTextList(NoteHandle note, std::string_view name, std::string_view entry, bool allowDuplicates) override {
    if (Status s = Intercept("ItemAppendTextList")) return s;
    return target_->ItemAppendTextList(note, name, entry, allowDuplicates);
  }
  [[nodiscard]] Status ReadStructure(uint16_t type, std::string_view stored, size_t* offset, std::string* memory) override {
    if (Status s = Intercept("ReadStructure")) return s;
    return target_->ReadStructure(type, stored, offset, memory);
  }
  [[nodiscard]] Status AttachFile(NoteHandle note, std::u16string_view path, std::string_view name, uint16_t compression, bool encrypted, BlockId* item) override {
    if (Status s = Intercept("AttachFile")) return s;
    return target_->AttachFile(note, path, name, compression, encrypted, item);
  }
  [[nodiscard]] Status ExtractFile(NoteHandle note, BlockId item, std::u16string_view path) override {
    if (Status s = Intercept("ExtractFile")) return s;
    return target_->ExtractFile(note, item, path);
  }
  [[nodiscard]] Status DetachFile(NoteHandle note, BlockId item) override {
    if (Status s = Intercept("DetachFile")) return s;
    return target_->DetachFile(note, item);
  }
  [[nodiscard]] Status OleInsertObject(NoteHandle note, std::u16string_view storagePath, std::string_view objectName, const std::array<uint8_t, 16>& classId, std::string_view description, std::string_view fieldName) override {
    if (Status s = Intercept("OleInsertObject")) return s;
    return target_->OleInsertObject(note, storagePath, objectName, classId, description, fieldName);
  }
  [[nodiscard]] Status OleWriteObject(NoteHandle note, std::string_view objectName, std::u16string_view path) override {
    if (Status s = Intercept("OleWriteObject")) return s;
    return target_->OleWriteObject(note, objectName, path);
  }
  [[nodiscard]] Status OleRemoveObject(NoteHandle note, std::string_view objectName) override {
    if (Status s = Intercept("OleRemoveObject")) return s;
    return target_->OleRemoveObject(note, objectName);
  }
  [[nodiscard]] Status ConvertRichTextToText(BlockId value, std::string_view delimiter, uint16_t lineLength, MemHandle* text, uint32_t* length) override {
    if (Status s = Intercept("ConvertRichTextToText")) return s;
    return target_->ConvertRichTextToText(value, delimiter, lineLength, text, length);
  }
  [[nodiscard]] Status CompoundTextCreate(NoteHandle note, std::string_view itemName, CompoundTextHandle* text) override {
    if (Status s = Intercept("CompoundTextCreate")) return s;
    return target_->CompoundTextCreate(note, itemName, text);
  }
  [[nodiscard]] Status CompoundTextDefineStyle(CompoundTextHandle text, std::string_view styleName, uint32_t* styleId) override {
    if (Status s = Intercept("CompoundTextDefineStyle")) return s;
    return target_->CompoundTextDefineStyle(text, styleName, styleId);
  }
  [[nodiscard]] Status CompoundTextAddText(CompoundTextHandle text, uint32_t styleId, uint32_t fontId, std::string_view content, std::string_view lineDelimiter) override {
    if (Status s = Intercept("CompoundTextAddText")) return s;
    return target_->CompoundTextAddText(text, styleId, fontId, content, lineDelimiter);
  }
  [[nodiscard]] Status CompoundTextAssimilateItem(CompoundTextHandle text, NoteHandle note, std::string_view itemName) override {
    if (Status s = Intercept("CompoundTextAssimilateItem")) return s;
    return target_->CompoundTextAssimilateItem(text, note, itemName);
  }
  [[nodiscard]] Status CompoundTextAssimilateFile(CompoundTextHandle text, std::u16string_view path) override {
    if (Status s = Intercept("CompoundTextAssimilateFile")) return s;
    return target_->CompoundTextAssimilateFile(text, path);
  }
  [[nodiscard]] Status CompoundTextClose(CompoundTextHandle text, MemHandle* buffer, uint32_t* length, std::u16string* file) override {
    if (Status s = Intercept("CompoundTextClose")) return s;
    return target_->CompoundTextClose(text, buffer, length, file);
  }
  [[nodiscard]] Status CanonicalizeName(std::string_view name, std::string* canonical) override {
    if (Status s = Intercept("CanonicalizeName")) return s;
    return target_->CanonicalizeName(name, canonical);
  }
  [[nodiscard]] Status MailCreateMessage(DbHandle mailDb, NoteHandle* message) override {
    if (Status s = Intercept("MailCreateMessage")) return s;
    return target_->MailCreateMessage(mailDb, message);
  }
  [[nodiscard]] Status MailTransferMessage(NoteHandle message) override {
    if (Status s = Intercept("MailTransferMessage")) return s;
    return target_->MailTransferMessage(message);
  }
  [[nodiscard]] Status ServerName(std::string* name) override {
    if (Status s = Intercept("ServerName")) return s;
    return target_->ServerName(name);
  }
  [[nodiscard]] Status MemAlloc(size_t size, MemHandle* block) override {
    if (Status s = Intercept("MemAlloc")) return s;
    return target_->MemAlloc(size, block);
  }
  uint8_t* MemLock(MemHandle block) override {
    return target_->MemLock(block);
  }
  void MemUnlock(MemHandle block) override {
    target_->MemUnlock(block);
  }
  size_t MemSize(MemHandle block) override {
    return target_->MemSize(block);
  }
  [[nodiscard]] Status MemFree(MemHandle block) override {
    if (Status s = Intercept("MemFree")) return s;
    return target_->MemFree(block);
  }
  [[nodiscard]] Status Translate(uint16_t mode, std::string_view in, std::string* out) override {
    if (Status s = Intercept("Translate")) return s;
    return target_->Translate(mode, in, out);
  }
  std::string StatusText(Status status) override {
    return target_->StatusText(status);
  }
  void ConsoleLine(std::string_view text) override {
    target_->ConsoleLine(text);
  }
  TimeDate TimeNow() override {
    return target_->TimeNow();
  }
  TimeDate TimeConstant(TimeConstantKind kind) override {
    return target_->TimeConstant(kind);
  }
  [[nodiscard]] Status TimeToText(const TimeDate& value, std::string* text) override {
    if (Status s = Intercept("TimeToText")) return s;
    return target_->TimeToText(value, text);
  }
  [[nodiscard]] Status TimeGmToLocal(LocalTime* local) override {
    if (Status s = Intercept("TimeGmToLocal")) return s;
    return target_->TimeGmToLocal(local);
  }
  [[nodiscard]] Status TimeLocalToGm(LocalTime* local) override {
    if (Status s = Intercept("TimeLocalToGm")) return s;
    return target_->TimeLocalToGm(local);
  }
  int TimeCompare(const TimeDate& a, const TimeDate& b) override {
    return target_->TimeCompare(a, b);
  }
  [[nodiscard]] Status TimeAdjust(TimeDate* value, int hours, int days) override {
    if (Status s = Intercept("TimeAdjust")) return s;
    return target_->TimeAdjust(value, hours, days);
  }
  double TimeDifferenceSeconds(const TimeDate& a, const TimeDate& b) override {
    return target_->TimeDifferenceSeconds(a, b);
  }
  [[nodiscard]] Status LibraryLoad(std::u16string_view path, LibraryHandle* library) override {
    if (Status s = Intercept("LibraryLoad")) return s;
    return target_->LibraryLoad(path, library);
  }
  [[nodiscard]] Status LibraryString(LibraryHandle library, uint32_t id, std::string* text) override {
    if (Status s = Intercept("LibraryString")) return s;
    return target_->LibraryString(library, id, text);
  }
  [[nodiscard]] Status LibraryFree(LibraryHandle library) override {
    if (Status s = Intercept("LibraryFree")) return s;
    return target_->LibraryFree(library);
  }
  [[nodiscard]] Status FileRead(std::u16string_view path, std::string* data) override {
    if (Status s = Intercept("FileRead")) return s;
    return target_->FileRead(path, data);
  }
  [[nodiscard]] Status FileWrite(std::u16string_view path, std::string_view data) override {
    if (Status s = Intercept("FileWrite")) return s;
    return target_->FileWrite(path, data);
  }
  [[nodiscard]] Status FileAppend(std::u16string_view path, std::string_view data) override {
    if (Status s = Intercept("FileAppend")) return s;
    return target_->FileAppend(path, data);
  }
  [[nodiscard]] Status FileSize(std::u16string_view path, uint64_t* size) override {
    if (Status s = Intercept("FileSize")) return s;
    return target_->FileSize(path, size);
  }
  [[nodiscard]] Status FileDelete(std::u16string_view path) override {
    if (Status s = Intercept("FileDelete")) return s;
    return target_->FileDelete(path);
  }
  [[nodiscard]] Status FileReadPart(std::u16string_view path, uint64_t offset, size_t length,
                                    std::string* data) override {
    if (Status s = Intercept("FileReadPart")) return s;
    return target_->FileReadPart(path, offset, length, data);
  }
  [[nodiscard]] Status FileCreateNew(std::u16string_view path) override {
    if (Status s = Intercept("FileCreateNew")) return s;
    return target_->FileCreateNew(path);
  }
  [[nodiscard]] Status FolderList(std::u16string_view path, std::vector<FolderEntry>* entries) override {
    if (Status s = Intercept("FolderList")) return s;
    return target_->FolderList(path, entries);
  }
  [[nodiscard]] Status FolderCreate(std::u16string_view path) override {
    if (Status s = Intercept("FolderCreate")) return s;
    return target_->FolderCreate(path);
  }
  [[nodiscard]] Status FolderCreatePrivate(std::u16string_view path) override {
    if (Status s = Intercept("FolderCreatePrivate")) return s;
    return target_->FolderCreatePrivate(path);
  }
  [[nodiscard]] Status LocalPath(std::u16string_view path, std::string* local) override {
    if (Status s = Intercept("LocalPath")) return s;
    return target_->LocalPath(path, local);
  }
  uint32_t ProcessId() override {
    return target_->ProcessId();
  }
  [[nodiscard]] Status ProcessRun(const ChildProcess& child, int* exitCode) override {
    if (Status s = Intercept("ProcessRun")) return s;
    return target_->ProcessRun(child, exitCode);
  }
  [[nodiscard]] Status ClassToProgId(std::string_view classId, std::string* progId) override {
    if (Status s = Intercept("ClassToProgId")) return s;
    return target_->ClassToProgId(classId, progId);
  }

 protected:
  // Called with the service name before each call. A non-zero status makes
  // a status-returning service return it at once, a bool-returning one
  // return false and ItemGetNumber return its default; services without a
  // result cannot fail.
  virtual Status Intercept(const char* service) {
    (void)service;
    return kNoError;
  }

 private:
  Platform* target_;
};

}  // namespace notesapi

#endif  // NOTESAPI_PLATFORM_WRAPPER_H_
