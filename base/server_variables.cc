#include "base/server_variables.h"

#include "notesapi/process_platform.h"
#include "base/message_text.h"
#include "base/task_log.h"
#include "base/kernel_settings_record.h"

namespace zul {

using namespace notesapi;

namespace {

constexpr size_t kMaxPathText = 255;  // 256-byte buffers
constexpr size_t kMaxMailServer = 1023;
constexpr char kPlaceholderName[] = "\\zuldummy.txt";

struct VariableNames {
  const char* logFileFlag;
  const char* logConsole;
  const char* logLevel;
  const char* logFileName;
  Msg noSetupDatabase;
  Msg noStatDatabase;
};

constexpr VariableNames kMailMonitorNames{"ZulMailMonitorLogFileFlag", "ZulMailMonitorLogConsole",
                                          "ZulMailMonitorLogLevel",    "ZulMailMonitorLogFileName",
                                          Msg::NoSetupDatabase,        Msg::NoStatDatabase};
constexpr VariableNames kUpdaterNames{"ZulUpdaterLogFileFlag", "ZulUpdaterLogConsole",
                                      "ZulUpdaterLogLevel",    "ZulUpdaterLogFileName",
                                      Msg::UpdaterNoSetupDatabase, Msg::UpdaterNoStatDatabase};

bool ReadRequired(Platform* p, const char* name, Msg missing, std::string* value) {
  if (p->IniGetText(name, kMaxPathText, value)) return true;
  LogMessage(LOG_FILE | LOG_CONSOLE, JournalError, MessageText(missing), 0);
  return false;
}

}  // namespace

ServerVariables& Variables() {
  static ServerVariables variables;
  return variables;
}

bool ReadServerVariables(TaskKind task) {
  Platform* p = ProcessPlatform();
  const VariableNames& names = task == TaskKind::kMailMonitor ? kMailMonitorNames : kUpdaterNames;
  ServerVariables& v = Variables();
  v.logFileFlag = p->IniGetNumber(names.logFileFlag);
  v.logConsole = p->IniGetNumber(names.logConsole);
  v.logLevel = static_cast<uint16_t>(p->IniGetNumber(names.logLevel));  // -1 reads as 65535
  // The file name is read only when file logging is asked for; without a
  // usable name file logging stays off for the life of the task.
  bool haveFile = v.logFileFlag != 0 && p->IniGetText(names.logFileName, kMaxPathText, &v.logFileName) &&
                  !v.logFileName.empty();
  if (haveFile) {
    OpenTaskLogFile(v.logFileName);
  } else {
    v.logFileFlag = 0;
  }
  if (!ReadRequired(p, "ZULSetupDatabase", names.noSetupDatabase, &v.setupDatabase)) return false;
  if (!ReadRequired(p, "ZULStatDatabase", names.noStatDatabase, &v.statDatabase)) return false;
  if (task == TaskKind::kMailMonitor &&
      !ReadRequired(p, "ZULQuarantineDatabase", Msg::NoQuarantineDatabase, &v.quarantineDatabase)) {
    return false;
  }
  KernelSettingsRecord& kernel = KernelSettings();
  kernel.depthLimitEnabled = p->IniGetNumber("ZulScanDepthLimitEnabled");
  kernel.depthLimit = p->IniGetNumber("ZulScanDepthLimit");
  kernel.queueSizeLimit = p->IniGetNumber("ZulQueueSizeLimit");
  if (task == TaskKind::kMailMonitor) {
    // A program directory too long for the 255-byte path counts as not set,
    // rather than naming a cut, wrong folder.
    std::string program;
    (void)p->IniGetText("NotesProgram", kMaxPathText + 1, &program);  // unset: the bare file name remains
    if (program.size() + sizeof kPlaceholderName - 1 > kMaxPathText) program.clear();
    v.placeholderFile = program + kPlaceholderName;
    v.milterReject = p->IniGetNumber("ZulMilterReject") == 1 ? 1 : 0;
  }
  return true;
}

std::string MailServerName() {
  std::string name;
  if (!ProcessPlatform()->IniGetText("MailServer", kMaxMailServer, &name)) name.clear();
  return name;
}

}  // namespace zul
