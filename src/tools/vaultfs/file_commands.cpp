// Files and directories: ls, mkdir, put, get, cat, rm, mv, ln, stat.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "common.h"
#include "vaultfs/engine_api.h"
#include "vaultfs/engine_types.h"
#include "vaultfs/secret_bytes.h"
#include "vaultfs/storage_time.h"
#include "vaultfs/utf16.h"

namespace vaultfs_tool {
namespace {

std::u16string InnerPath(const std::string& path) {
  return vaultfs::Utf8ToUtf16(path);
}

std::string AttributeText(std::uint32_t a) {
  std::string text;
  text += (a & vaultfs::attrDirectory) ? 'd' : (a & vaultfs::attrSymLink) ? 'l' : '-';
  text += (a & vaultfs::attrReadOnly) ? 'r' : '-';
  text += (a & vaultfs::attrCompressed) ? 'c' : '-';
  text += (a & vaultfs::attrEncrypted) ? 'e' : '-';
  text += (a & vaultfs::attrHidden) ? 'h' : '-';
  text += (a & vaultfs::attrSystem) ? 's' : '-';
  text += (a & vaultfs::attrArchive) ? 'a' : '-';
  return text;
}

constexpr std::uint32_t kCopyChunk = 16384;

// Copies a file out of the container through `sink`.
EngineResult CopyOut(Session& s, const std::string& path, const vaultfs::SecretBytes& password,
                     const std::function<bool(const std::uint8_t*, std::uint32_t)>& sink,
                     std::string& message) {
  vaultfs::FileHandle* handle = nullptr;
  EngineResult r = vaultfs::StorageOpenFile(s.handle(), InnerPath(path), true, false, false, true,
                                            password.data(),
                                            static_cast<std::uint32_t>(password.size()), handle);
  if (r != 0) {
    message = path;
    return r;
  }
  std::uint64_t size = 0;
  r = vaultfs::StorageGetFileSize(handle, size);
  Progress progress("get " + path, size);
  std::vector<std::uint8_t> buffer(kCopyChunk);
  std::uint64_t copied = 0;
  // Reading at the end of a file is an error of its own, so read exactly its size.
  while (r == 0 && copied < size) {
    std::uint32_t done = 0;
    const auto want =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kCopyChunk, size - copied));
    r = vaultfs::StorageRead(handle, buffer.data(), want, done);
    if (r == 0 && done == 0) r = vaultfs::errStorageCorrupted;
    if (r != 0) break;
    if (!sink(buffer.data(), done)) {
      message = std::string("write failed: ") + std::strerror(errno);
      r = errno ? errno : EIO;
      break;
    }
    copied += done;
    progress.Update(copied);
  }
  const EngineResult closed = vaultfs::StorageCloseFile(handle);
  return r != 0 ? r : closed;
}

int ListDirectory(Session& s, const std::u16string& directory, bool recursive, bool longForm,
                  bool showDirectory, EngineResult& result) {
  std::vector<std::u16string> subdirectories;
  vaultfs::SearchRecord record;
  std::u16string mask = directory;
  if (mask.empty() || mask.back() != u'/') mask.push_back(u'/');
  const std::u16string prefix = mask == u"/" ? u"/" : mask;
  mask += u"*";
  EngineResult r = vaultfs::StorageFindFirstEx(s.handle(), mask, record, 0xFFFFFFFFu,
                                               vaultfs::kDefaultSearchFlags);
  if (showDirectory)
    std::printf("%s:\n", vaultfs::Utf16ToUtf8(directory.empty() ? u"/" : directory).c_str());
  while (r == 0) {
    const std::string name = vaultfs::Utf16ToUtf8(record.Name);
    if (longForm) {
      std::printf("%s %12llu  %s  %s", AttributeText(record.Attributes).c_str(),
                  static_cast<unsigned long long>(record.Size),
                  vaultfs::FormatStorageTime(record.Modified).c_str(), name.c_str());
      if (record.Attributes & vaultfs::attrSymLink) {
        std::u16string target;
        std::uint32_t length = 0;
        if (vaultfs::StorageGetLinkDestination(s.handle(), prefix + record.Name, nullptr, length) ==
                vaultfs::errBufferTooSmall &&
            length >= 2) {
          target.resize(length / 2);
          if (vaultfs::StorageGetLinkDestination(s.handle(), prefix + record.Name, target.data(),
                                                 length) == 0) {
            while (!target.empty() && target.back() == u'\0') target.pop_back();
            std::printf(" -> %s", vaultfs::Utf16ToUtf8(target).c_str());
          }
        }
      }
      std::printf("\n");
    } else {
      std::printf("%s%s\n", name.c_str(), (record.Attributes & vaultfs::attrDirectory) ? "/" : "");
    }
    if (recursive && (record.Attributes & vaultfs::attrDirectory) &&
        !(record.Attributes & vaultfs::attrSymLink))
      subdirectories.push_back(prefix + record.Name);
    r = vaultfs::StorageFindNext(record);
  }
  (void)vaultfs::StorageFindClose(record);
  if (r != vaultfs::errNoMoreFiles) {
    result = r;
    return 1;
  }
  for (const auto& sub : subdirectories) {
    std::printf("\n");
    if (ListDirectory(s, sub, true, longForm, true, result) != 0) return 1;
  }
  return 0;
}

// Commands that take FILE and a fixed number of paths and run one engine call.
int SimpleCommand(int argc, char** argv, const char* usage, std::size_t paths,
                  const std::vector<std::string_view>& flags,
                  const std::function<EngineResult(Session&, const Arguments&)>& body) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, flags, {kStoragePasswordOption}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != paths + 1) return UsageError(usage);
  return WithSession(args.positional[0], false, args, [&](Session& s, std::string& message) {
    EngineResult r = body(s, args);
    if (r != 0) message = args.positional[1];
    return r;
  });
}

}  // namespace

int CommandPut(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, kFileValueOptions, args, error)) return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 3) return UsageError("put needs FILE SRC DST");
  std::uint32_t encryption = 0, compression = 0, level = 0;
  vaultfs::SecretBytes password;
  if (!ParseFileOptions(args, true, encryption, compression, level, password, error))
    return UsageError(error);
  const std::string& source = args.positional[1];
  std::ifstream in(source, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "vaultfs: %s: %s\n", source.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  in.seekg(0, std::ios::end);
  const std::uint64_t total = static_cast<std::uint64_t>(in.tellg());
  in.seekg(0);
  return WithSession(args.positional[0], false, args, [&](Session& s, std::string& message) {
    vaultfs::FileHandle* handle = nullptr;
    EngineResult r = vaultfs::StorageCreateFileCompressed(
        s.handle(), InnerPath(args.positional[2]), false, true, false, true, encryption,
        password.data(), static_cast<std::uint32_t>(password.size()), compression, level, 0, handle,
        true, true);
    if (r != 0) {
      message = args.positional[2];
      return r;
    }
    std::vector<std::uint8_t> buffer(kCopyChunk);
    Progress progress("put " + args.positional[2], total);
    std::uint64_t copied = 0;
    while (r == 0 && in) {
      in.read(reinterpret_cast<char*>(buffer.data()), kCopyChunk);
      const auto got = static_cast<std::uint32_t>(in.gcount());
      if (got == 0) break;
      std::uint32_t done = 0;
      r = vaultfs::StorageWrite(handle, buffer.data(), got, done);
      if (r == 0 && done != got) r = vaultfs::errStorageFull;
      copied += got;
      progress.Update(copied);
    }
    if (r == 0 && in.bad()) {
      message = source + ": read error";
      r = EIO;
    }
    const EngineResult closed = vaultfs::StorageCloseFile(handle);
    return r != 0 ? r : closed;
  });
}

int CommandGet(int argc, char** argv, bool toStdout) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, kFileValueOptions, args, error)) return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != (toStdout ? 2u : 3u))
    return UsageError(toStdout ? "cat needs FILE PATH" : "get needs FILE SRC DST");
  std::uint32_t encryption = 0, compression = 0, level = 0;
  vaultfs::SecretBytes password;
  if (!ParseFileOptions(args, false, encryption, compression, level, password, error))
    return UsageError(error);
  if (toStdout) {
    return WithSession(args.positional[0], true, args, [&](Session& s, std::string& message) {
      return CopyOut(
          s, args.positional[1], password,
          [](const std::uint8_t* data, std::uint32_t count) {
            return std::fwrite(data, 1, count, stdout) == count;
          },
          message);
    });
  }
  const std::string& target = args.positional[2];
  const std::string partial = target + ".vaultfs-partial";
  std::FILE* out = std::fopen(partial.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "vaultfs: %s: %s\n", partial.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  int status = WithSession(args.positional[0], true, args, [&](Session& s, std::string& message) {
    return CopyOut(
        s, args.positional[1], password,
        [out](const std::uint8_t* data, std::uint32_t count) {
          return std::fwrite(data, 1, count, out) == count;
        },
        message);
  });
  // Nothing half-written ever takes the target's name.
  const bool flushed = std::fflush(out) == 0 && fsync(fileno(out)) == 0;
  std::fclose(out);
  if (status == 0 && !flushed) {
    std::fprintf(stderr, "vaultfs: %s: %s\n", target.c_str(), std::strerror(errno));
    status = kExitFailure;
  }
  if (status == 0 && std::rename(partial.c_str(), target.c_str()) != 0) {
    std::fprintf(stderr, "vaultfs: %s: %s\n", target.c_str(), std::strerror(errno));
    status = kExitFailure;
  }
  if (status != 0) std::remove(partial.c_str());
  return status;
}

int CommandLs(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {"-R", "-l"}, {kStoragePasswordOption}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.empty() || args.positional.size() > 2)
    return UsageError("ls needs FILE [PATH]");
  const std::u16string path = args.positional.size() == 2 ? InnerPath(args.positional[1]) : u"/";
  return WithSession(args.positional[0], true, args, [&](Session& s, std::string& message) {
    std::uint32_t attributes = 0;
    EngineResult r = vaultfs::StorageGetFileAttributes(s.handle(), path, attributes);
    if (r != 0) {
      message = vaultfs::Utf16ToUtf8(path);
      return r;
    }
    if (!(attributes & vaultfs::attrDirectory)) {
      std::printf("%s\n", vaultfs::Utf16ToUtf8(path).c_str());
      return EngineResult{0};
    }
    EngineResult result = 0;
    ListDirectory(s, path, args.Has("-R"), args.Has("-l"), args.Has("-R"), result);
    return result;
  });
}

int CommandMkdir(int argc, char** argv) {
  return SimpleCommand(
      argc, argv, "mkdir needs FILE PATH", 1, {"-p"}, [](Session& s, const Arguments& a) {
        const std::u16string path = InnerPath(a.positional[1]);
        return a.Has("-p") ? vaultfs::StorageForceCreateDirectories(s.handle(), path)
                           : vaultfs::StorageCreateDirectory(s.handle(), path);
      });
}

int CommandRm(int argc, char** argv) {
  return SimpleCommand(argc, argv, "rm needs FILE PATH", 1, {}, [](Session& s, const Arguments& a) {
    return vaultfs::StorageDeleteFile(s.handle(), InnerPath(a.positional[1]));
  });
}

int CommandMv(int argc, char** argv) {
  return SimpleCommand(
      argc, argv, "mv needs FILE OLD NEW", 2, {"--replace"}, [](Session& s, const Arguments& a) {
        const std::u16string from = InnerPath(a.positional[1]);
        const std::u16string to = InnerPath(a.positional[2]);
        return a.Has("--replace") ? vaultfs::StorageMoveFileReplace(s.handle(), from, to)
                                  : vaultfs::StorageMoveFile(s.handle(), from, to);
      });
}

int CommandLn(int argc, char** argv) {
  return SimpleCommand(argc, argv, "ln needs FILE TARGET LINK", 2, {},
                       [](Session& s, const Arguments& a) {
                         return vaultfs::StorageCreateLink(s.handle(), InnerPath(a.positional[2]),
                                                           InnerPath(a.positional[1]));
                       });
}

int CommandStat(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!ParseArguments(argc, argv, 2, {}, {kStoragePasswordOption}, args, error))
    return UsageError(error);
  if (args.help) return std::fputs(kUsage, stdout), 0;
  if (args.positional.size() != 2) return UsageError("stat needs FILE PATH");
  const std::u16string path = InnerPath(args.positional[1]);
  return WithSession(args.positional[0], true, args, [&](Session& s, std::string& message) {
    message = args.positional[1];
    std::uint32_t attributes = 0, encryption = 0, mode = 0, level = 0, pages = 0;
    vaultfs::StorageTime created = 0, modified = 0, accessed = 0;
    EngineResult r = vaultfs::StorageGetFileAttributes(s.handle(), path, attributes);
    if (r == 0) r = vaultfs::StorageGetFileTimes(s.handle(), path, created, modified, accessed);
    if (r == 0) r = vaultfs::StorageGetFileEncryption(s.handle(), path, encryption);
    if (r == 0) r = vaultfs::StorageGetFileCompression(s.handle(), path, mode, level, pages);
    if (r != 0) return r;
    std::uint64_t size = 0;
    std::vector<vaultfs::FileTagInfo> tags;
    r = vaultfs::StorageGetFileSizeAndTags(s.handle(), path, size, tags);
    if (r != 0) return r;
    const char* compressionNames[] = {"none", "default", "custom", "zlib", "rle"};
    std::printf("path:         %s\n", args.positional[1].c_str());
    std::printf("attributes:   %s (0x%04X)\n", AttributeText(attributes).c_str(), attributes);
    std::printf("size:         %llu\n", static_cast<unsigned long long>(size));
    std::printf("created:      %s\n", vaultfs::FormatStorageTime(created).c_str());
    std::printf("modified:     %s\n", vaultfs::FormatStorageTime(modified).c_str());
    std::printf("accessed:     %s\n", vaultfs::FormatStorageTime(accessed).c_str());
    std::printf("encryption:   %u\n", encryption);
    std::printf("compression:  %s, level %u, %u page(s) per block\n",
                mode < 5 ? compressionNames[mode] : "unknown", level, pages);
    if (tags.empty()) std::printf("tags:         none\n");
    for (const auto& tag : tags) std::printf("tag:          0x%04X, %u bytes\n", tag.Id, tag.Size);
    return EngineResult{0};
  });
}

}  // namespace vaultfs_tool
