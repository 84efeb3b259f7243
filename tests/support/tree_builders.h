// Files and folder trees on the real disk, for the tests of import, export
// and the application's workflows: write and read whole files, make bytes
// that do not compress, and take down everything about a tree that a round
// trip must keep, so that two trees compare with one EXPECT_EQ.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Creates or empties the file and writes `content`; the folder must exist.
void WriteFile(const std::string& path, const std::string& content);
// The same, making the missing folders on the way first.
void WriteFileAndFolders(const std::string& path, const std::string& content);
// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Whether anything, a dangling link included, has this name.
bool Exists(const std::string& path);
// Bytes that do not compress, the same for the same seed.
std::string Pattern(std::size_t size, unsigned seed);
// Makes `folder` with what people keep in one: a small file, one of
// `largeSize` bytes, a sub-folder with a file, nested empty folders, a hidden
// file, a relative link to a file and a read-only file. `more` (paths below
// the folder, with their contents) is written after the hidden file, for the
// entries a caller's cases are about.
void MakeKeptFolder(const std::string& folder, std::size_t largeSize,
                    const std::vector<std::pair<std::string, std::string>>& more = {});

// A chain of `depth` folders named "d" below `top` (which exists), each of
// `mode` whatever the umask, made through descriptors a level at a time, so
// that it may go deeper than a path can name. `fill(folder, level)` adds
// entries to each level through the folder's descriptor, the top being level
// 0 and the bottom `depth`. A fatal failure, in `fill` too, ends the chain
// there (check with ASSERT_NO_FATAL_FAILURE).
void MakeDeepChain(const std::string& top, int depth, mode_t mode,
                   const std::function<void(int folder, int level)>& fill);

// Every entry of the tree at `root`, by its path below root ("" for root
// itself): kind and mode bits, nanosecond modification time (of all but
// folders), and contents or link target. Links are not followed.
std::map<std::string, std::string> Snapshot(const std::string& root);

}  // namespace testsupport
