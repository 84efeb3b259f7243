#include "korvane/forms/globals.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "korvane/platform/platform.h"

namespace korvane {

namespace {

bool EndsWithSuffix(const std::string& path) {
  const std::string_view suffix(kContainerSuffix);
  return path.size() >= suffix.size() &&
         std::string_view(path).substr(path.size() - suffix.size()) == suffix;
}

}  // namespace

std::string ContainerPathToFolder(const std::string& containerPath) {
  if (!ContainerPathProblem(containerPath).empty()) return std::string();
  return containerPath.substr(0, containerPath.size() - std::string_view(kContainerSuffix).size());
}

std::string ContainerPathProblem(const std::string& containerPath) {
  if (!EndsWithSuffix(containerPath)) {
    return FormatText(
        "\"%s\" is not a protected folder.\rThe name of a protected folder ends in "
        "\"._zkvlk\".",
        {containerPath});
  }
  const std::string folder =
      containerPath.substr(0, containerPath.size() - std::string_view(kContainerSuffix).size());
  const std::size_t slash = folder.rfind('/');
  const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    return FormatText(
        "\"%s\" is not a protected folder.\rWithout \"._zkvlk\" its name leaves no "
        "folder name to restore into.",
        {containerPath});
  }
  return std::string();
}

std::uint32_t ScanFolder(const std::string& folder, const std::string& mask, std::uint32_t& sizeKB,
                         std::vector<std::string>* list, bool deleteFiles) {
  // By descriptors, never through a link, at any depth. A subfolder is
  // visited only when its name and those of the folders above it match.
  std::string top = folder;
  while (top.size() > 1 && top.back() == '/') top.pop_back();
  const bool everything = mask == "*.*" || mask == "*";
  std::uint32_t count = 0;
  std::string skipped;  // relative path of a folder left out, with '/'
  platform::TreeWalkReport report;
  platform::WalkTree(
      top,
      [&](const std::string& relative, const platform::EntryFacts& facts) {
        if (!skipped.empty() && relative.compare(0, skipped.size(), skipped) == 0) return true;
        skipped.clear();
        const std::size_t slash = relative.rfind('/');
        const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
        const bool matches = everything || platform::MatchesMask(name, mask);
        if (facts.Kind == platform::EntryKind::Folder) {
          if (!matches) skipped = relative + '/';
          return true;
        }
        if (!matches) return true;
        ++count;
        if (facts.Kind == platform::EntryKind::File) {
          sizeKB += static_cast<std::uint32_t>(facts.Size / 1024);
        }
        if (list != nullptr) list->push_back(top + "/" + relative);
        return true;
      },
      {}, report);
  if (deleteFiles) {
    // Only ever the whole tree: removal never follows a link, never leaves
    // the folder and never crosses a mount point.
    platform::RemovalReport removal;
    platform::RemoveTree(top, {}, removal);
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
