#include "app/forms/globals.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "app/platform/platform.h"

namespace korvane {

std::string ContainerPathToFolder(const std::string& containerPath) {
  const std::size_t at = containerPath.find(kContainerSuffix);
  if (at == std::string::npos) return std::string();
  return containerPath.substr(0, at);
}

namespace {

std::string WithSlash(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder;
  return folder + '/';
}

}  // namespace

std::uint32_t ScanFolder(const std::string& folder, const std::string& mask, std::uint32_t& sizeKB,
                         std::vector<std::string>* list, bool deleteFiles) {
  const std::string dir = WithSlash(folder);
  std::uint32_t count = 0;
  std::vector<platform::DirEntry> entries;
  platform::EnumerateDirectory(dir, mask, entries);
  for (const platform::DirEntry& entry : entries) {
    const std::string path = dir + entry.Name;
    if (entry.IsDirectory) {
      std::uint32_t subKB = 0;
      count += ScanFolder(path + '/', mask, subKB, list, deleteFiles);
      sizeKB += subKB;
      if (deleteFiles) platform::RemoveDirectory(path);
    } else {
      if (deleteFiles) ForceDeleteFile(path);
      if (list != nullptr) list->push_back(path);
      ++count;
      sizeKB += static_cast<std::uint32_t>(entry.Size / 1024);
    }
  }
  if (deleteFiles) {
    std::string self = dir;
    while (self.size() > 1 && self.back() == '/') self.pop_back();
    platform::RemoveDirectory(self);
  }
  return count;
}

bool ForceDeleteFile(const std::string& path) {
  platform::SetFileAttributesNormal(path);
  return platform::DeleteFile(path);
}

void WriteTextFile(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      throw std::system_error(error, std::generic_category(), path);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), path);
}

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 is not available");
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

std::size_t TextLength(const std::string& text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); i += platform::Utf8CharLength(text, i)) ++count;
  return count;
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string FormatText(const std::string& templ, const std::vector<std::string>& args) {
  std::string text;
  std::size_t next = 0;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    if (templ[i] == '%' && i + 1 < templ.size() && (templ[i + 1] == 's' || templ[i + 1] == 'd')) {
      if (next < args.size()) text += args[next];
      ++next;
      ++i;
    } else {
      text += templ[i];
    }
  }
  return text;
}

}  // namespace korvane
