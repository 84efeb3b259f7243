// Values and file utilities shared by the windows: the fixed texts of a
// protected folder, folder scanning and forced deletion, and the small disk
// helpers of the workflows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

inline constexpr const char* kApplicationTitle = "Korvane";
inline constexpr const char* kRunMutexName = "ZentaloKorvaneRunMutex";
inline constexpr const char* kContainerSuffix = "._zkvlk";
inline constexpr const char* kContainerLogo = "Password protected folder";
inline constexpr const char* kStoragePasswordText = "tobel5931";
inline constexpr std::uint32_t kContainerPageSize = 4096;

// The folder a container stands for: its path without a final "._zkvlk"
// (exact letter case). Empty when the path does not end in it, or when what
// is left names no folder of its own (an empty last component, "." or "..":
// "._zkvlk" or "..._zkvlk" would stand for the folder holding the container
// or its parent).
std::string ContainerPathToFolder(const std::string& containerPath);

// Why ContainerPathToFolder gives no folder for this path, as a sentence for
// the person; empty when it gives one.
std::string ContainerPathProblem(const std::string& containerPath);

// Walks a folder by descriptors: every file (anything that is not a
// directory; links are files here and never followed) whose name matches
// `mask` adds 1 to the result and its size / 1024 to `sizeKB` (unsigned
// 32-bit, wrapping like the size record it feeds), its full path to `list`
// when given. Subfolders whose names match are visited the same way. With
// `deleteFiles` the whole folder is removed afterwards as far as it can be,
// never through a link or across a mount point.
std::uint32_t ScanFolder(const std::string& folder, const std::string& mask, std::uint32_t& sizeKB,
                         std::vector<std::string>* list, bool deleteFiles);

// Normal attributes (owner may write), then delete. Whether it went.
bool ForceDeleteFile(const std::string& path);

// Creates or truncates the file and writes exactly the text's bytes; raises
// std::system_error when it fails.
void WriteTextFile(const std::string& path, const std::string& text);

// MD5 of the bytes as 32 lowercase hexadecimal digits.
std::string Md5Hex(const std::string& bytes);

// Length of a text in characters (UTF-8 code points; a byte that is not
// valid UTF-8 counts as one).
std::size_t TextLength(const std::string& text);

// ASCII upper-casing (the platform's letter case of paths and verbs).
std::string UpperCase(std::string text);

// Format with "%s" / "%d" placeholders replaced in order by `args` (already
// rendered as text); a template with fewer placeholders ignores the rest.
std::string FormatText(const std::string& templ, const std::vector<std::string>& args);

}  // namespace korvane
