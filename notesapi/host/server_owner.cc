// The server's files belong to the user that owns its directory, whoever
// runs a program on it: a root-owned mail.box left by one command run as
// root would stop every later hand-over from the MTA.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "notesapi/host/host_platform.h"

namespace notesapi {

namespace {

struct Account {
  std::string name;  // empty when the user database does not know the user
  gid_t group = 0;
};

Account AccountOf(uid_t user) {
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {};
  return Account{entry.pw_name, entry.pw_gid};
}

// Root becomes `user` for good: groups first, while it still may set them.
// A user the system does not know, or whose group is root's, is not taken:
// the process would keep a group it must not have.
bool BecomeUser(uid_t user) {
  Account account = AccountOf(user);
  if (account.name.empty() || account.group == 0) return false;
  gid_t group = account.group;
  if (::initgroups(account.name.c_str(), group) != 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
  int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
  if (count < 0 || std::find(groups.begin(), groups.begin() + count, 0) != groups.begin() + count) return false;
  if (::setgid(group) != 0 || ::setuid(user) != 0) return false;
  // setuid from root drops every id at once; make sure none was kept.
  return ::getuid() == user && ::geteuid() == user && ::getegid() == group && ::setuid(0) != 0;
}

}  // namespace

void RestrictNewFileModes() {
  mode_t mask = ::umask(0);
  ::umask(mask | 027);
}

Status AdoptServerOwner(const std::string& directory, std::string* owner) {
  RestrictNewFileModes();
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0) return kNoError;  // nothing there yet: the caller makes it
  if (info.st_uid == ::geteuid()) return kNoError;
  Account account = AccountOf(info.st_uid);
  *owner = account.name.empty() ? "uid " + std::to_string(info.st_uid) : account.name;
  if (::geteuid() != 0) return kServerOwnedByOther;
  return BecomeUser(info.st_uid) ? kNoError : kFileError;
}

}  // namespace notesapi
