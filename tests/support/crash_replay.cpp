#include "support/crash_replay.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "base/path_text.h"

namespace zq_test {

std::string CrashReplay::DescribeCut(size_t cut) const {
  if (cut == 0) return "before the first step";
  const ReplayStep& step = steps[cut - 1];
  return "after step " + std::to_string(step.number) + " (" + step.call + ", trace line " +
         std::to_string(step.trace_line) + ")";
}

mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "Umask:") == 0) return static_cast<mode_t>(strtoul(line.c_str() + 6, nullptr, 8));
  }
  return 022;
}

namespace {

struct OpenFile {
  bool inside = false;
  int inode = -1;
  std::string outside;  // an outside path, for *at calls and fchdir
  unsigned long long offset = 0;
  bool append = false;
};

struct Descriptor {
  std::shared_ptr<OpenFile> file;
  bool cloexec = false;
};

using FdTable = std::map<long long, Descriptor>;

// What CLONE_FS shares: the working directory and the umask.
struct FsContext {
  bool inside = false;
  int dir = -1;
  std::string outside = "/";
  mode_t umask = 022;
};

struct Task {
  std::shared_ptr<FdTable> fds;
  std::shared_ptr<FsContext> fs;
};

// Where a path leads.
struct Resolved {
  enum Where { kOutside, kInside, kBroken } where = kOutside;
  int dir = -1;         // inside: the directory holding the last component (-1: the root itself)
  std::string name;     // inside: the last component
  int inode = -1;       // inside: what the path names, -1 when nothing
  std::string outside;  // outside: the absolute path
  std::string why;      // broken: why
};

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  std::istringstream in(path);
  std::string part;
  while (std::getline(in, part, '/')) {
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  return parts;
}

std::string Lexical(const std::string& path) {
  std::vector<std::string> kept;
  for (const std::string& part : Components(path)) {
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
    } else {
      kept.push_back(part);
    }
  }
  std::string out;
  for (const std::string& part : kept) out += "/" + part;
  return out.empty() ? "/" : out;
}

bool MakesATask(const std::string& call) {
  return call == "clone" || call == "clone3" || call == "fork" || call == "vfork";
}

// How many makers of tasks whose first calls came early are looked for one
// behind the other; real traces show two at the most.
constexpr size_t kMostMakersLookedFor = 32;

class Replayer {
 public:
  Replayer(const FileSystemModel& snapshot, const ReplaySetup& setup, CrashReplay* out)
      : model_(snapshot), out_(out) {
    aliases_.push_back(Lexical(setup.root));
    if (char* real = realpath(setup.root.c_str(), nullptr)) {
      if (Lexical(real) != aliases_[0]) aliases_.push_back(Lexical(real));
      free(real);
    }
    initial_fs_.outside = Lexical(setup.working_directory);
    initial_fs_.umask = setup.umask;
    Record();
  }

  void Run(const SyscallTrace& trace) {
    for (const std::string& problem : trace.problems) out_->errors.push_back(problem);
    records_ = &trace.records;
    for (index_ = 0; index_ < trace.records.size(); ++index_) {
      const SyscallRecord& record = trace.records[index_];
      ++out_->calls_seen;
      Task& task = TaskOf(record.pid);
      if (!record.finished) {
        Unfinished(task, record);
      } else if (record.result >= 0) {
        Apply(task, record);
      }
    }
  }

 private:
  // The state after a step, under both models.
  void Record() {
    out_->ordered.push_back(model_.View(CrashModel::kOrdered));
    out_->write_back.push_back(model_.View(CrashModel::kWriteBack));
  }

  void Step(const SyscallRecord& record, const std::string& what) {
    ReplayStep step;
    step.number = out_->steps.size() + 1;
    step.call = record.name + " " + what;
    step.trace_line = record.line;
    out_->steps.push_back(step);
    Record();
  }

  void Error(const SyscallRecord& record, const std::string& why) {
    out_->errors.push_back("trace line " + std::to_string(record.line) + ": " + record.name + ": " + why);
  }

  // The task of `pid`; a new one is set up as the call that made it left it.
  // `depth` counts the makers still being looked for: a thread's first call
  // can come before the clone that made it returns, and so can that of a
  // thread it made in turn.
  Task& TaskOf(pid_t pid, size_t depth = 0) {
    auto found = tasks_.find(pid);
    if (found != tasks_.end()) return found->second;
    Task task;
    if (tasks_.empty()) {
      task.fds = std::make_shared<FdTable>();
      for (long long fd = 0; fd < 3; ++fd) (*task.fds)[fd] = Descriptor{std::make_shared<OpenFile>(), false};
      task.fs = std::make_shared<FsContext>(initial_fs_);
      return tasks_[pid] = task;
    }
    // The child's first call can come before its parent's clone returns:
    // the call that made it is found further on, with its flags.
    for (size_t i = index_; i < records_->size(); ++i) {
      const SyscallRecord& maker = (*records_)[i];
      if (!MakesATask(maker.name) || !maker.finished || maker.result != pid) continue;
      // An id taken again could lead back round to a maker already being
      // looked for: the search goes only so deep.
      if (tasks_.find(maker.pid) == tasks_.end() && depth >= kMostMakersLookedFor) break;
      const Task& parent = TaskOf(maker.pid, depth + 1);
      made_early_[pid] = i;
      return tasks_[pid] = Child(parent, maker);
    }
    // Made by a call the trace lost: a copy of the first process, which the
    // checks of an inside path still see through.
    out_->errors.push_back("process " + std::to_string(pid) + " appears without the call that made it");
    Task& first = tasks_.begin()->second;
    task.fds = std::make_shared<FdTable>(*first.fds);
    task.fs = std::make_shared<FsContext>(*first.fs);
    return tasks_[pid] = task;
  }

  static Task Child(const Task& parent, const SyscallRecord& maker) {
    std::string flags;
    for (const std::string& arg : maker.args) {
      if (arg.compare(0, 6, "flags=") == 0) flags = arg.substr(6);
      if (!arg.empty() && arg[0] == '{') flags = StraceField(arg, "flags");
    }
    Task child;
    child.fds = HasStraceFlag(flags, "CLONE_FILES") ? parent.fds : std::make_shared<FdTable>(*parent.fds);
    child.fs = HasStraceFlag(flags, "CLONE_FS") ? parent.fs : std::make_shared<FsContext>(*parent.fs);
    return child;
  }

  bool IsAlias(const std::string& absolute) const {
    for (const std::string& alias : aliases_) {
      if (absolute == alias) return true;
    }
    return false;
  }

  // Resolves `path` from `base` the way the kernel does, following links
  // inside the tree (`follow_last`: also a link in the last place).
  Resolved Resolve(const FsContext& base, const std::string& path, bool follow_last) const {
    std::vector<std::string> pending = Components(path);
    std::reverse(pending.begin(), pending.end());
    bool inside = false;
    int dir = -1;
    std::string outside = "/";
    if (path.empty() || path[0] != '/') {
      inside = base.inside;
      dir = base.dir;
      outside = base.outside;
    }
    if (!inside && IsAlias(outside)) {
      inside = true;
      dir = FileSystemModel::kRoot;
    }
    int links = 0;
    Resolved result;
    while (!pending.empty()) {
      std::string part = pending.back();
      pending.pop_back();
      bool last = pending.empty();
      if (!inside) {
        outside = part == ".." ? zq_camera_service::DirectoryOf(outside) : (outside == "/" ? "" : outside) + "/" + part;
        if (IsAlias(outside)) {
          inside = true;
          dir = FileSystemModel::kRoot;
        }
        continue;
      }
      if (part == "..") {
        if (dir == FileSystemModel::kRoot) {
          inside = false;
          outside = zq_camera_service::DirectoryOf(aliases_[0]);
        } else {
          dir = model_.node(dir).parent;
        }
        continue;
      }
      int child = model_.Child(dir, part);
      bool is_link = child >= 0 && model_.node(child).kind == TreeEntry::kLink;
      if (is_link && (!last || follow_last)) {
        if (++links > 40) {
          result.where = Resolved::kBroken;
          result.why = "too many links in " + path;
          return result;
        }
        const std::string& target = model_.node(child).data;
        std::vector<std::string> more = Components(target);
        for (auto it = more.rbegin(); it != more.rend(); ++it) pending.push_back(*it);
        if (!target.empty() && target[0] == '/') {
          inside = false;
          outside = "/";
        }
        continue;
      }
      if (last) {
        result.where = Resolved::kInside;
        result.dir = dir;
        result.name = part;
        result.inode = child;
        return result;
      }
      if (child < 0 || model_.node(child).kind != TreeEntry::kDirectory) {
        result.where = Resolved::kBroken;
        std::string at = model_.PathOf(dir);
        result.why = (at.empty() ? part : at + "/" + part) + (child < 0 ? " is not there" : " is no directory");
        return result;
      }
      dir = child;
    }
    // The path names a directory itself.
    if (inside) {
      result.where = Resolved::kInside;
      result.inode = dir;
    } else {
      result.outside = outside;
    }
    return result;
  }

  // The base of a *at call: the working directory, or a directory descriptor.
  FsContext Base(const Task& task, const std::string& dirfd) const {
    if (dirfd == "AT_FDCWD") return *task.fs;
    FsContext base = *task.fs;
    long long fd = -1;
    const OpenFile* file = ParseStraceNumber(dirfd, &fd) ? File(task, fd) : nullptr;
    base.inside = file != nullptr && file->inside;
    base.dir = base.inside ? file->inode : -1;
    base.outside = file != nullptr && !file->inside && !file->outside.empty() ? file->outside : "/<unknown directory>";
    return base;
  }

  static OpenFile* File(const Task& task, long long fd) {
    auto it = task.fds->find(fd);
    return it == task.fds->end() ? nullptr : it->second.file.get();
  }

  // The open file of the tree a descriptor argument names; null otherwise.
  static OpenFile* InsideFile(const Task& task, const std::string& arg) {
    long long fd = -1;
    OpenFile* file = ParseStraceNumber(arg, &fd) ? File(task, fd) : nullptr;
    return file != nullptr && file->inside ? file : nullptr;
  }

  // The inside inode a descriptor argument names; -1 otherwise.
  static int InsideInode(const Task& task, const std::string& arg) {
    const OpenFile* file = InsideFile(task, arg);
    return file != nullptr ? file->inode : -1;
  }

  std::string Name(const Resolved& r) const {
    if (r.dir < 0) return r.inode == FileSystemModel::kRoot ? "<root>" : "/" + model_.PathOf(r.inode);
    std::string dir = model_.PathOf(r.dir);
    return dir.empty() ? r.name : dir + "/" + r.name;
  }

  std::string InodeName(int inode) const {
    if (model_.node(inode).kind == TreeEntry::kDirectory) {
      std::string path = model_.PathOf(inode);
      return path.empty() ? "<root>" : path;
    }
    // A file: the first name found for it, if it still has one.
    std::vector<std::pair<int, std::string>> pending{{FileSystemModel::kRoot, ""}};
    while (!pending.empty()) {
      auto [dir, path] = pending.back();
      pending.pop_back();
      for (const auto& entry : model_.node(dir).entries) {
        std::string child = path.empty() ? entry.first : path + "/" + entry.first;
        if (entry.second == inode) return child;
        if (model_.node(entry.second).kind == TreeEntry::kDirectory) pending.emplace_back(entry.second, child);
      }
    }
    return "<removed file>";
  }

  bool StringArg(const SyscallRecord& record, size_t index, std::string* bytes) {
    bool cut = false;
    if (index >= record.args.size() || !DecodeStraceString(record.args[index], bytes, &cut)) {
      Error(record, "argument " + std::to_string(index + 1) + " is not a string");
      return false;
    }
    if (cut) {
      Error(record, "strace cut a string argument");
      return false;
    }
    return true;
  }

  bool NumberArg(const SyscallRecord& record, size_t index, long long* value) {
    if (index >= record.args.size() || !ParseStraceNumber(record.args[index], value)) {
      Error(record, "argument " + std::to_string(index + 1) + " is not a number");
      return false;
    }
    return true;
  }

  // A path argument (index of the path; of its *at base, or -1 for AT_FDCWD).
  bool PathArg(const Task& task, const SyscallRecord& record, int base_index, size_t path_index, bool follow,
               Resolved* out) {
    std::string path;
    if (!StringArg(record, path_index, &path)) return false;
    FsContext base = base_index < 0 ? *task.fs : Base(task, record.args[static_cast<size_t>(base_index)]);
    *out = Resolve(base, path, follow);
    if (out->where == Resolved::kBroken) {
      Error(record, "the tree has no way to " + path + ": " + out->why);
      return false;
    }
    return true;
  }

  void Apply(Task& task, const SyscallRecord& record) {
    const std::string& name = record.name;
    const auto& args = record.args;
    if (name == "open" || name == "openat" || name == "creat" || name == "openat2") {
      Open(task, record);
    } else if (name == "close") {
      long long fd = 0;
      if (NumberArg(record, 0, &fd)) task.fds->erase(fd);
    } else if (name == "close_range") {
      CloseRange(task, record);
    } else if (name == "dup" || name == "dup2" || name == "dup3") {
      long long old_fd = 0;
      if (!NumberArg(record, 0, &old_fd)) return;
      bool cloexec = name == "dup3" && args.size() > 2 && HasStraceFlag(args[2], "O_CLOEXEC");
      Duplicate(task, old_fd, record.result, cloexec);
    } else if (name == "fcntl") {
      Fcntl(task, record);
    } else if (name == "write" || name == "pwrite64" || name == "writev" || name == "pwritev" || name == "pwritev2") {
      WriteCall(task, record);
    } else if (name == "read" || name == "readv" || name == "lseek") {
      OpenFile* file = args.empty() ? nullptr : InsideFile(task, args[0]);
      if (file == nullptr) return;
      file->offset = name == "lseek" ? static_cast<unsigned long long>(record.result)
                                     : file->offset + static_cast<unsigned long long>(record.result);
    } else if (name == "ftruncate" || name == "truncate") {
      Truncate(task, record);
    } else if (name == "fallocate") {
      Fallocate(task, record);
    } else if (name == "rename" || name == "renameat" || name == "renameat2") {
      Rename(task, record);
    } else if (name == "unlink" || name == "unlinkat" || name == "rmdir") {
      Unlink(task, record);
    } else if (name == "mkdir" || name == "mkdirat" || name == "symlink" || name == "symlinkat" || name == "mknod" ||
               name == "mknodat") {
      Make(task, record);
    } else if (name == "link" || name == "linkat") {
      Link(task, record);
    } else if (name == "chmod" || name == "fchmod" || name == "fchmodat" || name == "chown" || name == "fchown" ||
               name == "lchown" || name == "fchownat") {
      Attributes(task, record);
    } else if (name == "fsync" || name == "fdatasync") {
      int inode = args.empty() ? -1 : InsideInode(task, args[0]);
      if (inode < 0) return;
      model_.Sync(inode);
      Step(record, InodeName(inode));
    } else if (name == "sync") {
      model_.SyncAll();
      Step(record, "everything");
    } else if (name == "syncfs") {
      // Another file system's sync makes nothing of the tree durable.
      if (args.empty() || InsideInode(task, args[0]) < 0) return;
      model_.SyncAll();
      Step(record, "the tree's file system");
    } else if (name == "chdir" || name == "fchdir") {
      ChangeDirectory(task, record);
    } else if (name == "umask") {
      long long mask = 0;
      if (NumberArg(record, 0, &mask)) task.fs->umask = static_cast<mode_t>(mask) & 0777;
    } else if (MakesATask(name)) {
      // The child may have shown up first, made from this very call; a
      // task of the same id known from before is one that ended.
      pid_t child = static_cast<pid_t>(record.result);
      auto early = made_early_.find(child);
      if (child > 0 && (early == made_early_.end() || early->second != index_)) tasks_[child] = Child(task, record);
    } else if (name == "execve" || name == "execveat") {
      task.fds = std::make_shared<FdTable>(*task.fds);
      for (auto it = task.fds->begin(); it != task.fds->end();) it = it->second.cloexec ? task.fds->erase(it) : ++it;
    } else if (name == "copy_file_range" || name == "sendfile" || name == "splice") {
      // Bytes that move without passing through the program.
      size_t out_index = name == "sendfile" ? 0 : 2;
      if (record.result > 0 && args.size() > out_index && InsideInode(task, args[out_index]) >= 0) {
        Error(record, "writes into the tree without the bytes showing in the trace");
      }
    } else if (name == "mmap") {
      if (args.size() > 4 && HasStraceFlag(args[3], "MAP_SHARED") && HasStraceFlag(args[2], "PROT_WRITE") &&
          InsideInode(task, args[4]) >= 0) {
        Error(record, "a shared writable mapping of a file of the tree cannot be followed");
      }
    } else if (name == "io_uring_setup") {
      Error(record, "io_uring requests cannot be followed");
    }
  }

  // A call that never returned: harmless unless it could change the tree.
  void Unfinished(Task& task, const SyscallRecord& record) {
    static const char* const kChanging[] = {"open", "openat", "creat", "openat2", "write", "pwrite64", "writev",
                                            "pwritev", "pwritev2", "ftruncate", "truncate", "fallocate", "rename",
                                            "renameat", "renameat2", "unlink", "unlinkat", "rmdir", "mkdir", "mkdirat",
                                            "link", "linkat", "symlink", "symlinkat", "chmod", "fchmod", "fchmodat",
                                            "fsync", "fdatasync", "sync", "syncfs", "mknod", "mknodat"};
    bool changing = false;
    for (const char* name : kChanging) changing = changing || record.name == name;
    if (!changing) return;
    bool touches = record.name == "sync";
    for (const std::string& arg : record.args) {
      std::string path;
      bool cut = false;
      if (DecodeStraceString(arg, &path, &cut) && !path.empty() &&
          Resolve(*task.fs, path, false).where != Resolved::kOutside) {
        touches = true;
      }
      if (InsideInode(task, arg) >= 0) touches = true;
    }
    if (touches) Error(record, "its process died inside the call; what it changed is unknown");
  }

  void Open(Task& task, const SyscallRecord& record) {
    const std::string& name = record.name;
    std::string flags = name == "creat" ? "O_WRONLY|O_CREAT|O_TRUNC" : "";
    std::string mode_text = "0";
    int base = -1;
    size_t path_index = 0;
    if (name == "open") {
      flags = record.args.size() > 1 ? record.args[1] : "";
      if (record.args.size() > 2) mode_text = record.args[2];
    } else if (name == "creat") {
      if (record.args.size() > 1) mode_text = record.args[1];
    } else if (name == "openat") {
      base = 0;
      path_index = 1;
      flags = record.args.size() > 2 ? record.args[2] : "";
      if (record.args.size() > 3) mode_text = record.args[3];
    } else {  // openat2(dirfd, path, {flags=..., mode=..., resolve=...}, size)
      base = 0;
      path_index = 1;
      std::string how = record.args.size() > 2 ? record.args[2] : "";
      flags = StraceField(how, "flags");
      mode_text = StraceField(how, "mode");
      if (!StraceField(how, "resolve").empty() && StraceField(how, "resolve") != "0") {
        Error(record, "openat2 with a resolve restriction is not followed");
      }
    }
    bool create = HasStraceFlag(flags, "O_CREAT");
    bool exclusive = create && HasStraceFlag(flags, "O_EXCL");
    bool follow = !HasStraceFlag(flags, "O_NOFOLLOW") && !exclusive;
    Resolved r;
    if (!PathArg(task, record, base, path_index, follow, &r)) return;
    auto file = std::make_shared<OpenFile>();
    file->append = HasStraceFlag(flags, "O_APPEND");
    if (r.where == Resolved::kOutside) {
      file->outside = r.outside;
    } else {
      if (HasStraceFlag(flags, "O_TMPFILE")) {
        Error(record, "O_TMPFILE files are not followed");
        return;
      }
      int inode = r.inode;
      if (inode < 0) {
        if (!create) {
          Error(record, "opened " + Name(r) + ", which the tree does not hold");
          return;
        }
        long long mode = 0;
        ParseStraceNumber(mode_text, &mode);
        std::string why;
        inode = model_.Create(r.dir, r.name, TreeEntry::kFile, static_cast<mode_t>(mode) & ~task.fs->umask, "", &why);
        if (inode < 0) {
          Error(record, why);
          return;
        }
        Step(record, "creates " + Name(r));
      } else if (exclusive) {
        Error(record, "created " + Name(r) + " exclusively, but the tree holds it already");
        return;
      } else if (HasStraceFlag(flags, "O_TRUNC") && model_.node(inode).kind == TreeEntry::kFile) {
        model_.Truncate(inode, 0);
        Step(record, "truncates " + Name(r));
      }
      file->inside = true;
      file->inode = inode;
    }
    (*task.fds)[record.result] = Descriptor{file, HasStraceFlag(flags, "O_CLOEXEC")};
  }

  void CloseRange(Task& task, const SyscallRecord& record) {
    long long first = 0;
    long long last = 0;
    if (!NumberArg(record, 0, &first) || !NumberArg(record, 1, &last)) return;
    unsigned long long high = static_cast<unsigned long long>(last) & 0xffffffffULL;
    std::string flags = record.args.size() > 2 ? record.args[2] : "0";
    if (HasStraceFlag(flags, "CLOSE_RANGE_UNSHARE")) task.fds = std::make_shared<FdTable>(*task.fds);
    bool cloexec = HasStraceFlag(flags, "CLOSE_RANGE_CLOEXEC");
    for (auto it = task.fds->begin(); it != task.fds->end();) {
      bool in_range = it->first >= first && static_cast<unsigned long long>(it->first) <= high;
      if (in_range && cloexec) it->second.cloexec = true;
      it = in_range && !cloexec ? task.fds->erase(it) : ++it;
    }
  }

  void Duplicate(Task& task, long long old_fd, long long new_fd, bool cloexec) {
    auto it = task.fds->find(old_fd);
    if (it == task.fds->end()) {
      task.fds->erase(new_fd);
      return;
    }
    (*task.fds)[new_fd] = Descriptor{it->second.file, cloexec};
  }

  void Fcntl(Task& task, const SyscallRecord& record) {
    long long fd = 0;
    if (record.args.size() < 2 || !ParseStraceNumber(record.args[0], &fd)) return;
    const std::string& command = record.args[1];
    if (command == "F_DUPFD" || command == "F_DUPFD_CLOEXEC") {
      Duplicate(task, fd, record.result, command == "F_DUPFD_CLOEXEC");
    } else if (command == "F_SETFD" && record.args.size() > 2) {
      auto it = task.fds->find(fd);
      if (it != task.fds->end()) it->second.cloexec = HasStraceFlag(record.args[2], "FD_CLOEXEC");
    } else if (command == "F_SETFL" && record.args.size() > 2) {
      OpenFile* file = File(task, fd);
      if (file != nullptr) file->append = HasStraceFlag(record.args[2], "O_APPEND");
    }
  }

  void WriteCall(Task& task, const SyscallRecord& record) {
    const std::string& name = record.name;
    const auto& args = record.args;
    OpenFile* file = args.empty() ? nullptr : InsideFile(task, args[0]);
    if (file == nullptr || record.result == 0) return;
    const int inode = file->inode;
    std::string bytes;
    bool cut = false;
    if (name == "write" || name == "pwrite64") {
      if (args.size() < 2 || !DecodeStraceString(args[1], &bytes, &cut)) {
        Error(record, "the data is not a string");
        return;
      }
    } else {
      for (const std::string& item : SplitStraceList(args.size() > 1 ? args[1] : "")) {
        std::string part;
        bool part_cut = false;
        if (!DecodeStraceString(StraceField(item, "iov_base"), &part, &part_cut)) {
          Error(record, "an iovec's data is not a string");
          return;
        }
        bytes += part;
        cut = cut || part_cut;
      }
    }
    size_t written = static_cast<size_t>(record.result);
    if (bytes.size() < written) {
      Error(record, "strace showed " + std::to_string(bytes.size()) + " of the " + std::to_string(written) +
                        " bytes written" + (cut ? " (cut: raise -s)" : ""));
      return;
    }
    bytes.resize(written);
    if (model_.node(inode).kind != TreeEntry::kFile) {
      Error(record, "writes into something that is no file");
      return;
    }
    bool positioned = name == "pwrite64" || name == "pwritev" || name == "pwritev2";
    long long position = 0;
    if (positioned && !NumberArg(record, 3, &position)) return;
    if (name == "pwritev2" && args.size() > 4 && HasStraceFlag(args[4], "RWF_APPEND")) {
      position = static_cast<long long>(model_.node(inode).data.size());
    }
    unsigned long long at = positioned ? static_cast<unsigned long long>(position) : file->offset;
    // O_APPEND puts every write at the end, positioned ones too on Linux.
    if (file->append) at = model_.node(inode).data.size();
    model_.Write(inode, at, bytes);
    if (!positioned) file->offset = at + written;
    Step(record, std::to_string(written) + " bytes at " + std::to_string(at) + " of " + InodeName(inode));
  }

  void Truncate(Task& task, const SyscallRecord& record) {
    int inode = -1;
    if (record.name == "ftruncate") {
      inode = record.args.empty() ? -1 : InsideInode(task, record.args[0]);
    } else {
      Resolved r;
      if (!PathArg(task, record, -1, 0, true, &r) || r.where == Resolved::kOutside) return;
      inode = r.inode;
    }
    long long length = 0;
    if (inode < 0 || !NumberArg(record, 1, &length)) return;
    model_.Truncate(inode, static_cast<unsigned long long>(length));
    Step(record, InodeName(inode) + " to " + std::to_string(length) + " bytes");
  }

  void Fallocate(Task& task, const SyscallRecord& record) {
    int inode = record.args.empty() ? -1 : InsideInode(task, record.args[0]);
    long long offset = 0;
    long long length = 0;
    if (inode < 0 || !NumberArg(record, 2, &offset) || !NumberArg(record, 3, &length)) return;
    if (record.args[1] != "0") {
      if (!HasStraceFlag(record.args[1], "FALLOC_FL_KEEP_SIZE") || record.args[1].find('|') != std::string::npos) {
        Error(record, "fallocate mode " + record.args[1] + " is not followed");
      }
      return;
    }
    const std::string& data = model_.node(inode).data;
    if (data.size() < static_cast<size_t>(offset + length)) {
      model_.Write(inode, data.size(), std::string(static_cast<size_t>(offset + length) - data.size(), '\0'));
      Step(record, InodeName(inode) + " grows to " + std::to_string(offset + length) + " bytes");
    }
  }

  void Rename(Task& task, const SyscallRecord& record) {
    bool at = record.name != "rename";
    Resolved from;
    Resolved to;
    if (!PathArg(task, record, at ? 0 : -1, at ? 1 : 0, false, &from) ||
        !PathArg(task, record, at ? 2 : -1, at ? 3 : 1, false, &to)) {
      return;
    }
    if (from.where == Resolved::kOutside && to.where == Resolved::kOutside) return;
    if (from.where != to.where || from.dir < 0 || to.dir < 0) {
      Error(record, "a rename across the tree's edge (or of its root) is not followed");
      return;
    }
    std::string flags = record.args.size() > 4 ? record.args[4] : "0";
    std::string why;
    std::string what = Name(from) + " -> " + Name(to);
    if (!model_.Rename(from.dir, from.name, to.dir, to.name, HasStraceFlag(flags, "RENAME_NOREPLACE"),
                       HasStraceFlag(flags, "RENAME_EXCHANGE"), &why)) {
      Error(record, why);
      return;
    }
    Step(record, what);
  }

  void Unlink(Task& task, const SyscallRecord& record) {
    bool at = record.name == "unlinkat";
    Resolved r;
    if (!PathArg(task, record, at ? 0 : -1, at ? 1 : 0, false, &r) || r.where == Resolved::kOutside) return;
    bool directory = record.name == "rmdir" || (at && record.args.size() > 2 && HasStraceFlag(record.args[2], "AT_REMOVEDIR"));
    std::string why;
    std::string what = Name(r);
    if (r.dir < 0 || !model_.Remove(r.dir, r.name, directory, &why)) {
      Error(record, r.dir < 0 ? "removes the tree's root" : why);
      return;
    }
    Step(record, what);
  }

  void Make(Task& task, const SyscallRecord& record) {
    const std::string& name = record.name;
    bool at = name == "mkdirat" || name == "mknodat";
    Resolved r;
    std::string target;
    long long mode = 0;
    TreeEntry::Kind kind = TreeEntry::kDirectory;
    if (name == "symlink" || name == "symlinkat") {
      kind = TreeEntry::kLink;
      if (!StringArg(record, 0, &target) ||
          !PathArg(task, record, name == "symlinkat" ? 1 : -1, name == "symlinkat" ? 2 : 1, false, &r)) {
        return;
      }
      mode = 0777;
    } else {
      if (!PathArg(task, record, at ? 0 : -1, at ? 1 : 0, false, &r)) return;
      const std::string mode_text = record.args.size() > (at ? 2u : 1u) ? record.args[at ? 2 : 1] : "0";
      if (name == "mknod" || name == "mknodat") {
        bool regular = mode_text.find("S_IF") == std::string::npos || HasStraceFlag(mode_text, "S_IFREG");
        kind = regular ? TreeEntry::kFile : TreeEntry::kOther;
        size_t bar = mode_text.rfind('|');
        ParseStraceNumber(bar == std::string::npos ? mode_text : mode_text.substr(bar + 1), &mode);
      } else {
        ParseStraceNumber(mode_text, &mode);
      }
      mode &= ~static_cast<long long>(task.fs->umask);
    }
    if (r.where == Resolved::kOutside) return;
    std::string why;
    if (r.dir < 0 || model_.Create(r.dir, r.name, kind, static_cast<mode_t>(mode), target, &why) < 0) {
      Error(record, r.dir < 0 ? "makes the tree's root" : why);
      return;
    }
    Step(record, Name(r) + (kind == TreeEntry::kLink ? " -> " + target : ""));
  }

  void Link(Task& task, const SyscallRecord& record) {
    bool at = record.name == "linkat";
    std::string flags = at && record.args.size() > 4 ? record.args[4] : "0";
    Resolved from;
    Resolved to;
    if (!PathArg(task, record, at ? 2 : -1, at ? 3 : 1, false, &to)) return;
    int inode = -1;
    if (HasStraceFlag(flags, "AT_EMPTY_PATH")) {
      inode = InsideInode(task, record.args[0]);
      from.where = inode >= 0 ? Resolved::kInside : Resolved::kOutside;
    } else {
      if (!PathArg(task, record, at ? 0 : -1, at ? 1 : 0, HasStraceFlag(flags, "AT_SYMLINK_FOLLOW"), &from)) return;
      inode = from.inode;
    }
    if (from.where == Resolved::kOutside && to.where == Resolved::kOutside) return;
    std::string why;
    if (from.where != to.where || inode < 0 || to.dir < 0 || !model_.HardLink(inode, to.dir, to.name, &why)) {
      Error(record, why.empty() ? "a link across the tree's edge is not followed" : why);
      return;
    }
    Step(record, Name(to) + " = " + InodeName(inode));
  }

  void Attributes(Task& task, const SyscallRecord& record) {
    const std::string& name = record.name;
    bool by_fd = name == "fchmod" || name == "fchown";
    bool at = name == "fchmodat" || name == "fchownat";
    int inode = -1;
    if (by_fd) {
      inode = record.args.empty() ? -1 : InsideInode(task, record.args[0]);
    } else {
      bool follow = name != "lchown";
      std::string flags = at && record.args.size() > (name == "fchownat" ? 4u : 3u)
                              ? record.args[name == "fchownat" ? 4 : 3]
                              : "0";
      if (HasStraceFlag(flags, "AT_SYMLINK_NOFOLLOW")) follow = false;
      Resolved r;
      if (!PathArg(task, record, at ? 0 : -1, at ? 1 : 0, follow, &r) || r.where == Resolved::kOutside) return;
      inode = r.inode;
    }
    if (inode < 0) return;
    if (name.find("chmod") != std::string::npos) {
      long long mode = 0;
      if (!NumberArg(record, at ? 2 : 1, &mode)) return;
      model_.SetMode(inode, static_cast<mode_t>(mode));
      char text[16];
      snprintf(text, sizeof text, " %04llo", mode & 07777);
      Step(record, InodeName(inode) + text);
    } else {
      // Owners are not part of the states: the step only marks the cut.
      Step(record, InodeName(inode));
    }
  }

  void ChangeDirectory(Task& task, const SyscallRecord& record) {
    FsContext& fs = *task.fs;
    if (record.name == "fchdir") {
      FsContext base = Base(task, record.args.empty() ? "" : record.args[0]);
      fs.inside = base.inside;
      fs.dir = base.dir;
      fs.outside = base.outside;
      return;
    }
    Resolved r;
    if (!PathArg(task, record, -1, 0, true, &r)) return;
    fs.inside = r.where == Resolved::kInside;
    fs.dir = r.inode;
    fs.outside = r.outside;
  }

  FileSystemModel model_;
  CrashReplay* out_;
  std::vector<std::string> aliases_;
  FsContext initial_fs_;
  std::map<pid_t, Task> tasks_;
  std::map<pid_t, size_t> made_early_;  // tasks set up before the call that made them returned
  const std::vector<SyscallRecord>* records_ = nullptr;
  size_t index_ = 0;
};

}  // namespace

CrashReplay ReplayTrace(const SyscallTrace& trace, const FileSystemModel& snapshot, const ReplaySetup& setup) {
  CrashReplay replay;
  Replayer replayer(snapshot, setup, &replay);
  replayer.Run(trace);
  return replay;
}

}  // namespace zq_test
