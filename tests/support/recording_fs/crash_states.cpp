// Builds the states a power cut could have left behind a run recorded by
// record_fs, and has a check command judge each one.
//
// The model of the medium, what a journaling Linux file system promises and
// no more:
// - a file's data (writes, truncates, allocations) is on the medium once the
//   file is fsynced or fdatasynced after it; its mode and times once it is
//   fsynced;
// - a link cannot be opened, so its times are on the medium once its folder
//   is fsynced;
// - a name change in a folder (create, mkdir, symlink, link, unlink, rmdir,
//   rename, which is one change for both its folders) is on the medium once
//   one of its folders is fsynced after it;
// - name changes reach the medium in the order they were made (the journal
//   commits them in order), so a change that is on the medium carries every
//   earlier one with it;
// - anything else may be lost at the cut: all of it, or part of it: a prefix
//   of the name changes, and any subset of the data writes, each kept whole,
//   lost, or torn (some of its 512-byte sectors written, others not).
//
// Cuts: before and after every fsync, and a sample of the points between
// them. At each cut: every undurable change kept (what a crash of the
// program alone leaves), every undurable change lost, and seeded subsets.
// Each state is built in a scratch folder and `CHECK STATE_DIR` run on it:
// exit 0 means the data is safe, 1 that it is lost (its output is shown),
// anything else stops the run. States already seen are not checked twice.
//
//   crash_states --before DIR --after DIR --log FILE --check CMD
//                [--scratch DIR] [--between N] [--subsets N] [--label TEXT] [--dump]
//
// --before is a copy of the folder below the mount before the run, --after
// the folder after it: the log replayed in full must give --after exactly,
// which proves the log and the model. Prints `crash states: N checked, M
// lost` and exits 1 when M > 0.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs_log.h"

namespace {

using korvane_test::LogOp;
using korvane_test::LogRecord;

enum class Kind { kFile, kFolder, kLink };

constexpr std::int64_t kUnknownTime = INT64_MIN;

struct Node {
  Kind Type = Kind::kFile;
  std::vector<std::uint8_t> Data;
  std::uint32_t Mode = 0644;
  std::int64_t Mtime[2] = {kUnknownTime, 0};
  std::int64_t Atime[2] = {kUnknownTime, 0};
  std::string Target;
  std::map<std::string, int> Entries;
};

using Tree = std::vector<Node>;  // node 0 is the root

[[noreturn]] void Fail(const std::string& message) { throw std::runtime_error(message); }

// ---- loading a folder as a tree

int LoadNode(Tree& tree, const std::string& path, std::map<std::pair<dev_t, ino_t>, int>& seen) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) Fail("cannot read " + path + ": " + std::strerror(errno));
  const auto known = seen.find({st.st_dev, st.st_ino});
  if (known != seen.end() && !S_ISDIR(st.st_mode)) return known->second;
  const int id = static_cast<int>(tree.size());
  seen[{st.st_dev, st.st_ino}] = id;
  tree.emplace_back();
  Node node;
  node.Mode = st.st_mode & 07777;
  node.Mtime[0] = st.st_mtim.tv_sec;
  node.Mtime[1] = st.st_mtim.tv_nsec;
  node.Atime[0] = st.st_atim.tv_sec;
  node.Atime[1] = st.st_atim.tv_nsec;
  if (S_ISDIR(st.st_mode)) {
    node.Type = Kind::kFolder;
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* e = readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
          names.emplace_back(e->d_name);
      closedir(dir);
    } else {
      Fail("cannot list " + path);
    }
    for (const std::string& name : names) node.Entries[name] = LoadNode(tree, path + "/" + name, seen);
  } else if (S_ISLNK(st.st_mode)) {
    node.Type = Kind::kLink;
    std::vector<char> buffer(static_cast<std::size_t>(st.st_size) + 1);
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) Fail("cannot read the link " + path);
    node.Target.assign(buffer.data(), static_cast<std::size_t>(n));
  } else if (S_ISREG(st.st_mode)) {
    std::ifstream in(path, std::ios::binary);
    node.Data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    Fail("not a file, folder or link: " + path);
  }
  tree[static_cast<std::size_t>(id)] = std::move(node);
  return id;
}

Tree LoadTree(const std::string& root) {
  Tree tree;
  std::map<std::pair<dev_t, ino_t>, int> seen;
  LoadNode(tree, root, seen);
  return tree;
}

// ---- the log, resolved to nodes

enum class Effect { kNone, kData, kAttributes, kNames, kSync };

struct Step {
  LogOp Op{};
  Effect What = Effect::kNone;
  int Target = -1;  // the node written, synced or named
  int Folder = -1;
  std::string Name;
  int Folder2 = -1;  // renames and links: where to
  std::string Name2;
  int Other = -1;  // an exchange: the node that was at Name2
  std::uint64_t Offset = 0;
  std::uint64_t Size = 0;
  std::uint32_t Mode = 0;
  std::uint32_t Flags = 0;
  std::int64_t Times[4] = {};
  std::shared_ptr<const std::vector<std::uint8_t>> Data;
  std::size_t Cover = SIZE_MAX;  // the first sync after it that makes it durable
};

struct Resolved {
  int Folder = -1;
  std::string Name;
  int Node = -1;
};

Resolved Resolve(const Tree& tree, const std::string& path) {
  Resolved r;
  int at = 0;
  std::size_t start = 1;
  if (path == "/") return {-1, "", 0};
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    const Node& folder = tree[static_cast<std::size_t>(at)];
    if (folder.Type != Kind::kFolder) Fail("the log names a path through a non-folder: " + path);
    const auto it = folder.Entries.find(part);
    if (slash == std::string::npos) {
      r.Folder = at;
      r.Name = part;
      r.Node = it == folder.Entries.end() ? -1 : it->second;
      return r;
    }
    if (it == folder.Entries.end()) Fail("the log names a missing folder: " + path);
    at = it->second;
    start = slash + 1;
  }
}

void ApplyData(Node& node, const Step& s, std::uint64_t keepFrom, std::uint64_t keepTo) {
  switch (s.Op) {
    case LogOp::kWrite: {
      const std::uint64_t end = s.Offset + keepTo;
      if (node.Data.size() < s.Offset + keepFrom) node.Data.resize(s.Offset + keepFrom);
      if (node.Data.size() < end) node.Data.resize(end);
      std::copy(s.Data->begin() + static_cast<std::ptrdiff_t>(keepFrom),
                s.Data->begin() + static_cast<std::ptrdiff_t>(keepTo),
                node.Data.begin() + static_cast<std::ptrdiff_t>(s.Offset + keepFrom));
      break;
    }
    case LogOp::kTruncate:
      node.Data.resize(s.Size);
      break;
    case LogOp::kFallocate:
      if (node.Data.size() < s.Size) node.Data.resize(s.Size);
      break;
    default:
      break;
  }
}

// Applies a step to a tree; name changes are applied only where the tree
// still fits them (an earlier change may have been lost).
void Apply(Tree& tree, const Step& s) {
  auto folder = [&](int id) -> Node* {
    if (id < 0) return nullptr;
    Node& n = tree[static_cast<std::size_t>(id)];
    return n.Type == Kind::kFolder ? &n : nullptr;
  };
  switch (s.What) {
    case Effect::kData:
      ApplyData(tree[static_cast<std::size_t>(s.Target)], s, 0, s.Data ? s.Data->size() : 0);
      break;
    case Effect::kAttributes: {
      Node& n = tree[static_cast<std::size_t>(s.Target)];
      if (s.Op == LogOp::kChmod) {
        n.Mode = s.Mode;
      } else {
        n.Atime[0] = s.Times[0];
        n.Atime[1] = s.Times[1];
        n.Mtime[0] = s.Times[2];
        n.Mtime[1] = s.Times[3];
      }
      break;
    }
    case Effect::kNames: {
      Node* from = folder(s.Folder);
      switch (s.Op) {
        case LogOp::kCreate:
        case LogOp::kMkdir:
        case LogOp::kSymlink:
          if (from) from->Entries[s.Name] = s.Target;
          break;
        case LogOp::kLink:
          if (Node* to = folder(s.Folder2)) to->Entries[s.Name2] = s.Target;
          break;
        case LogOp::kUnlink:
        case LogOp::kRmdir:
          if (from) {
            const auto it = from->Entries.find(s.Name);
            if (it != from->Entries.end() && it->second == s.Target) from->Entries.erase(it);
          }
          break;
        case LogOp::kRename: {
          Node* to = folder(s.Folder2);
          if (!from || !to) break;
          if ((s.Flags & RENAME_EXCHANGE) != 0) {
            from->Entries[s.Name] = s.Other;
            to->Entries[s.Name2] = s.Target;
          } else {
            const auto it = from->Entries.find(s.Name);
            if (it != from->Entries.end() && it->second == s.Target) from->Entries.erase(it);
            to->Entries[s.Name2] = s.Target;
          }
          break;
        }
        default:
          break;
      }
      break;
    }
    default:
      break;
  }
}

// Reads the log, checking each record against a running copy of the tree
// (what the file system held at that moment), and gives every step the
// nodes it touches. New nodes are appended to `initial` as empty shells
// (reachable only once their creation is applied).
std::vector<Step> ResolveLog(const std::string& logPath, Tree& initial) {
  std::FILE* f = std::fopen(logPath.c_str(), "rb");
  if (f == nullptr) Fail("cannot read the log " + logPath);
  Tree live = initial;
  std::unordered_map<std::uint64_t, int> handles;
  std::vector<Step> steps;
  LogRecord r;
  auto nodeOf = [&](const LogRecord& rec) {
    if (rec.Handle != 0) {
      const auto it = handles.find(rec.Handle);
      if (it == handles.end()) Fail("the log uses an unknown handle");
      return it->second;
    }
    const Resolved at = Resolve(live, rec.Path);
    if (at.Node < 0) Fail("the log names a missing entry: " + rec.Path);
    return at.Node;
  };
  auto newNode = [&](Kind type, std::uint32_t mode, const std::string& target) {
    Node n;
    n.Type = type;
    n.Mode = mode;
    n.Target = target;
    initial.push_back(n);
    live.push_back(n);
    return static_cast<int>(live.size() - 1);
  };
  while (korvane_test::ReadRecord(f, r)) {
    Step s;
    s.Op = r.Op;
    s.Offset = r.Offset;
    s.Size = r.Size;
    s.Mode = r.Mode;
    s.Flags = r.Flags;
    std::copy(std::begin(r.Times), std::end(r.Times), std::begin(s.Times));
    switch (r.Op) {
      case LogOp::kOpen:
      case LogOp::kOpenDir:
      {
        const std::uint64_t handle = r.Handle;
        r.Handle = 0;  // the open names its entry by path
        handles[handle] = nodeOf(r);
        continue;
      }
      case LogOp::kRelease:
        continue;
      case LogOp::kCreate:
      case LogOp::kMkdir:
      case LogOp::kSymlink: {
        const Resolved at = Resolve(live, r.Path);
        s.What = Effect::kNames;
        s.Folder = at.Folder;
        s.Name = at.Name;
        s.Target = newNode(r.Op == LogOp::kMkdir    ? Kind::kFolder
                           : r.Op == LogOp::kSymlink ? Kind::kLink
                                                     : Kind::kFile,
                           r.Op == LogOp::kSymlink ? 0777 : r.Mode, r.Path2);
        if (r.Op == LogOp::kCreate) handles[r.Handle] = s.Target;
        break;
      }
      case LogOp::kLink: {
        s.What = Effect::kNames;
        s.Target = nodeOf(r);
        const Resolved to = Resolve(live, r.Path2);
        s.Folder2 = to.Folder;
        s.Name2 = to.Name;
        break;
      }
      case LogOp::kUnlink:
      case LogOp::kRmdir: {
        const Resolved at = Resolve(live, r.Path);
        s.What = Effect::kNames;
        s.Folder = at.Folder;
        s.Name = at.Name;
        s.Target = at.Node;
        break;
      }
      case LogOp::kRename: {
        const Resolved from = Resolve(live, r.Path);
        const Resolved to = Resolve(live, r.Path2);
        s.What = Effect::kNames;
        s.Folder = from.Folder;
        s.Name = from.Name;
        s.Target = from.Node;
        s.Folder2 = to.Folder;
        s.Name2 = to.Name;
        s.Other = to.Node;
        break;
      }
      case LogOp::kWrite:
      case LogOp::kTruncate:
      case LogOp::kFallocate:
        s.What = Effect::kData;
        s.Target = nodeOf(r);
        s.Data = std::make_shared<const std::vector<std::uint8_t>>(std::move(r.Data));
        break;
      case LogOp::kChmod:
      case LogOp::kUtimens:
        s.What = Effect::kAttributes;
        s.Target = nodeOf(r);
        // A link cannot be opened to fsync it: its times go to the medium
        // with its folder.
        if (r.Handle == 0 && live[static_cast<std::size_t>(s.Target)].Type == Kind::kLink)
          s.Folder = Resolve(live, r.Path).Folder;
        break;
      case LogOp::kFsync:
      case LogOp::kFsyncDir:
        s.What = Effect::kSync;
        s.Target = nodeOf(r);
        break;
      default:
        Fail("unknown record in the log");
    }
    Apply(live, s);
    steps.push_back(std::move(s));
  }
  std::fclose(f);
  return steps;
}

// For each step, the first sync that makes it durable.
void Cover(std::vector<Step>& steps) {
  std::unordered_map<int, std::vector<std::size_t>> pendingData, pendingNames;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    Step& s = steps[i];
    switch (s.What) {
      case Effect::kData:
      case Effect::kAttributes:
        if (s.Folder >= 0)
          pendingNames[s.Folder].push_back(i);  // a link's attributes
        else
          pendingData[s.Target].push_back(i);
        break;
      case Effect::kNames:
        pendingNames[s.Folder].push_back(i);
        if (s.Folder2 >= 0 && s.Folder2 != s.Folder) pendingNames[s.Folder2].push_back(i);
        break;
      case Effect::kSync: {
        const bool dataOnly = (s.Flags & 1) != 0;
        auto& data = pendingData[s.Target];
        std::vector<std::size_t> left;
        for (std::size_t j : data) {
          if (dataOnly && steps[j].What == Effect::kAttributes)
            left.push_back(j);
          else if (steps[j].Cover == SIZE_MAX)
            steps[j].Cover = i;
        }
        data = std::move(left);
        if (s.Op == LogOp::kFsyncDir) {
          for (std::size_t j : pendingNames[s.Target])
            if (steps[j].Cover == SIZE_MAX) steps[j].Cover = i;
          pendingNames[s.Target].clear();
        }
        break;
      }
      default:
        break;
    }
  }
}

// ---- states

enum class Loss { kAllKept, kAllLost, kSomeKept };

struct Listing {
  std::string Text;  // one line per entry, for comparisons and the digest
  std::uint64_t Digest = 1469598103934665603ull;
};

std::uint64_t Fnv(std::uint64_t h, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

void List(const Tree& tree, int id, const std::string& path, bool times, std::set<int>& onPath,
          Listing& out) {
  const Node& n = tree[static_cast<std::size_t>(id)];
  std::ostringstream line;
  line << path << '|' << (n.Type == Kind::kFolder ? 'd' : n.Type == Kind::kLink ? 'l' : 'f');
  if (n.Type != Kind::kLink) line << '|' << std::oct << n.Mode << std::dec;
  if (n.Type == Kind::kFile)
    line << '|' << n.Data.size() << '|' << std::hex << Fnv(1469598103934665603ull, n.Data.data(), n.Data.size())
         << std::dec;
  if (n.Type == Kind::kLink) line << '|' << n.Target;
  if (times && n.Mtime[0] != kUnknownTime) line << '|' << n.Mtime[0] << '.' << n.Mtime[1];
  line << '\n';
  out.Text += line.str();
  if (n.Type != Kind::kFolder || !onPath.insert(id).second) return;
  for (const auto& [name, child] : n.Entries) List(tree, child, path + "/" + name, times, onPath, out);
  onPath.erase(id);
}

Listing ListTree(const Tree& tree, bool times) {
  Listing out;
  std::set<int> onPath;
  List(tree, 0, "", times, onPath, out);
  out.Digest = Fnv(out.Digest, out.Text.data(), out.Text.size());
  return out;
}

void SetTimes(const std::string& path, const Node& n) {
  if (n.Mtime[0] == kUnknownTime) return;
  timespec times[2] = {{n.Atime[0] == kUnknownTime ? n.Mtime[0] : n.Atime[0], n.Atime[0] == kUnknownTime ? n.Mtime[1] : n.Atime[1]},
                       {n.Mtime[0], n.Mtime[1]}};
  utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void Build(const Tree& tree, int id, const std::string& path, std::map<int, std::string>& made,
           std::set<int>& onPath) {
  const Node& n = tree[static_cast<std::size_t>(id)];
  if (n.Type == Kind::kFile) {
    const auto first = made.find(id);
    if (first != made.end()) {
      if (link(first->second.c_str(), path.c_str()) != 0) Fail("cannot link " + path);
      return;
    }
    made[id] = path;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) Fail("cannot make " + path);
    std::size_t done = 0;
    while (done < n.Data.size()) {
      const ssize_t w = write(fd, n.Data.data() + done, n.Data.size() - done);
      if (w <= 0) Fail("cannot write " + path);
      done += static_cast<std::size_t>(w);
    }
    close(fd);
    chmod(path.c_str(), n.Mode);
  } else if (n.Type == Kind::kLink) {
    if (symlink(n.Target.c_str(), path.c_str()) != 0) Fail("cannot make the link " + path);
  } else {
    if (id != 0 && mkdir(path.c_str(), 0700) != 0) Fail("cannot make " + path);
    if (onPath.insert(id).second) {
      for (const auto& [name, child] : n.Entries) Build(tree, child, path + "/" + name, made, onPath);
      onPath.erase(id);
    }
    chmod(path.c_str(), n.Mode);
  }
  SetTimes(path, n);
}

int RunCheck(const std::string& command, const std::string& stateDir, std::string& output) {
  const std::string outPath = stateDir + ".out";
  const pid_t pid = fork();
  if (pid < 0) Fail("cannot start the check");
  if (pid == 0) {
    const int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    const int nul = open("/dev/null", O_RDONLY);
    if (nul >= 0) dup2(nul, 0);
    execl(command.c_str(), command.c_str(), stateDir.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream in(outPath);
  output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Describe(const Step& s) {
  std::ostringstream text;
  static const char* kNames[] = {"",       "open",   "create", "opendir", "write",   "truncate",
                                 "fallocate", "mkdir", "unlink", "rmdir", "symlink", "link",
                                 "rename", "chmod",  "utimens", "fsync", "fsyncdir", "release"};
  const auto op = static_cast<std::size_t>(s.Op);
  text << (op < std::size(kNames) ? kNames[op] : "?");
  if (!s.Name.empty()) text << ' ' << s.Name;
  if (!s.Name2.empty()) text << " -> " << s.Name2;
  if (s.Op == LogOp::kWrite) text << " @" << s.Offset << '+' << (s.Data ? s.Data->size() : 0);
  return text.str();
}

struct Options {
  std::string Before, After, LogPath, Check, Scratch, Label = "run";
  std::size_t Between = 3;
  std::uint32_t Subsets = 3;
  bool Dump = false;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--before") o.Before = value();
    else if (a == "--after") o.After = value();
    else if (a == "--log") o.LogPath = value();
    else if (a == "--check") o.Check = value();
    else if (a == "--scratch") o.Scratch = value();
    else if (a == "--between") o.Between = std::stoul(value());
    else if (a == "--subsets") o.Subsets = static_cast<std::uint32_t>(std::stoul(value()));
    else if (a == "--label") o.Label = value();
    else if (a == "--dump") o.Dump = true;
    else Fail("unknown option " + a);
  }
  if (o.Before.empty() || o.After.empty() || o.LogPath.empty() || o.Check.empty())
    Fail("usage: crash_states --before DIR --after DIR --log FILE --check CMD [--scratch DIR] "
         "[--between N] [--subsets N] [--label TEXT]");
  if (o.Scratch.empty()) o.Scratch = std::filesystem::temp_directory_path() / "crash-states";
  return o;
}

int Run(const Options& o) {
  Tree initial = LoadTree(o.Before);
  std::vector<Step> steps = ResolveLog(o.LogPath, initial);
  Cover(steps);
  if (o.Dump) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
      std::cout << i << ": " << Describe(steps[i]) << " [node " << steps[i].Target << "]";
      if (steps[i].Cover != SIZE_MAX) std::cout << " durable at " << steps[i].Cover;
      std::cout << "\n";
    }
  }

  // The log replayed in full must give what the file system holds.
  {
    Tree full = initial;
    for (const Step& s : steps) Apply(full, s);
    const Listing mine = ListTree(full, false), real = ListTree(LoadTree(o.After), false);
    if (mine.Text != real.Text) {
      std::cerr << "the log replayed in full differs from the folder after the run\n--- replayed\n"
                << mine.Text << "--- real\n" << real.Text;
      return 2;
    }
  }

  // Name changes reach the medium in order: a change is durable at a cut
  // once any change after it is.
  std::vector<std::size_t> namesDurableAt(steps.size() + 1, SIZE_MAX);
  for (std::size_t i = steps.size(); i-- > 0;) {
    namesDurableAt[i] = namesDurableAt[i + 1];
    if (steps[i].What == Effect::kNames) namesDurableAt[i] = std::min(namesDurableAt[i], steps[i].Cover);
  }

  // The cuts: around every sync, and some points between.
  std::set<std::size_t> cuts = {steps.size()};
  std::size_t previous = 0;
  std::size_t syncs = 0;
  for (std::size_t i = 0; i <= steps.size(); ++i) {
    if (i < steps.size() && steps[i].What != Effect::kSync) continue;
    if (i < steps.size()) {
      ++syncs;
      cuts.insert(i);
      cuts.insert(i + 1);
    }
    const std::size_t gap = i - previous;
    for (std::size_t k = 1; k <= o.Between && gap > 1; ++k) cuts.insert(previous + gap * k / (o.Between + 1));
    previous = i + 1;
  }

  std::filesystem::create_directories(o.Scratch);
  const std::string stateDir = o.Scratch + "/state";
  std::unordered_map<std::uint64_t, int> verdicts;
  std::size_t checked = 0, lost = 0, shown = 0;
  for (const std::size_t cut : cuts) {
    std::vector<std::pair<Loss, std::uint32_t>> losses = {{Loss::kAllKept, 0}, {Loss::kAllLost, 0}};
    for (std::uint32_t seed = 1; seed <= o.Subsets; ++seed) losses.emplace_back(Loss::kSomeKept, seed);
    for (const auto& [loss, seed] : losses) {
      std::mt19937_64 random(cut * 7919 + seed);
      // Name changes: a prefix of those not yet durable reaches the medium.
      std::size_t namesKeptBelow = cut;
      if (loss == Loss::kAllLost) namesKeptBelow = 0;
      if (loss == Loss::kSomeKept) namesKeptBelow = std::uniform_int_distribution<std::size_t>(0, cut)(random);
      Tree tree = initial;
      for (std::size_t i = 0; i < cut; ++i) {
        const Step& s = steps[i];
        if (s.What == Effect::kNone || s.What == Effect::kSync) continue;
        const bool durable = s.What == Effect::kNames ? namesDurableAt[i] < cut : s.Cover < cut;
        if (durable || loss == Loss::kAllKept || (s.What == Effect::kNames && i < namesKeptBelow)) {
          Apply(tree, s);
          continue;
        }
        if (loss != Loss::kSomeKept || s.What == Effect::kNames) continue;
        const int fate = std::uniform_int_distribution<int>(0, 3)(random);
        if (fate == 0) continue;  // lost
        if (fate == 3 && s.Op == LogOp::kWrite && s.Data && s.Data->size() > 512) {
          // Torn: each 512-byte sector of the medium written or not.
          Node& node = tree[static_cast<std::size_t>(s.Target)];
          std::uint64_t from = 0;
          while (from < s.Data->size()) {
            const std::uint64_t to = std::min<std::uint64_t>(s.Data->size(), ((s.Offset + from) / 512 + 1) * 512 - s.Offset);
            if (random() & 1) ApplyData(node, s, from, to);
            from = to;
          }
          continue;
        }
        Apply(tree, s);
      }
      const Listing listing = ListTree(tree, true);
      ++checked;
      auto known = verdicts.find(listing.Digest);
      if (known == verdicts.end()) {
        std::filesystem::remove_all(stateDir);
        std::map<int, std::string> made;
        std::set<int> onPath;
        mkdir(stateDir.c_str(), 0700);
        Build(tree, 0, stateDir, made, onPath);
        std::string output;
        const int status = RunCheck(o.Check, stateDir, output);
        if (status != 0 && status != 1) {
          std::cerr << "the check failed to run (status " << status << "):\n" << output;
          return 2;
        }
        known = verdicts.emplace(listing.Digest, status).first;
        if (status == 1 && shown < 5) {
          ++shown;
          const char* lossName = loss == Loss::kAllKept ? "all kept" : loss == Loss::kAllLost ? "all lost" : "some kept";
          std::cout << o.Label << ": LOST at step " << cut << " of " << steps.size() << " ("
                    << lossName << ", seed " << seed << "), after "
                    << (cut > 0 ? Describe(steps[cut - 1]) : "nothing") << ":\n"
                    << output << "state:\n" << listing.Text;
        }
      }
      if (known->second == 1) ++lost;
    }
  }
  std::filesystem::remove_all(stateDir);
  std::cout << o.Label << ": " << steps.size() << " changes and syncs logged, " << syncs
            << " syncs, " << cuts.size() << " cuts, " << verdicts.size() << " distinct states\n";
  std::cout << "crash states: " << checked << " checked, " << lost << " lost\n";
  return lost > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(Parse(argc, argv));
  } catch (const std::exception& e) {
    std::cerr << "crash_states: " << e.what() << "\n";
    return 2;
  }
}
