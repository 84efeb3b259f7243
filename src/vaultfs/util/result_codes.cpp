#include "vaultfs/result_codes.h"

#include <array>
#include <cstring>

namespace vaultfs {
namespace {

struct CodeText {
  std::string_view name;
  std::string_view message;
};

// Indexed by the negated code: entry 0 is code -1. The texts are the product's
// own and are shown to people exactly as they stand.
constexpr std::array<CodeText, kEngineCodeCount> kCodeTable = {{
    {"errInvalidStorageFile", "Invalid storage file"},
    {"errInvalidPageSize", "Invalid page size"},
    {"errStorageCorrupted", "Storage file corrupted"},
    {"errTooManyTransactions", "Too many transactions commiting"},
    {"errAlreadyExists", "File or directory already exists"},
    {"errActiveTransactions", "Active transactions already exists"},
    {"errTagExists", "Tag already exists in the file"},
    {"errFileNotFound", "File not found"},
    {"errPathNotFound", "Path not found"},
    {"errSharingViolation", "Sharing violation"},
    {"errSeekBeyondEOF", "Seek beyond EOF"},
    {"errNoMoreFiles", "No more files"},
    {"errInvalidFileName", "Invalid file name"},
    {"errStorageActive", "Can not perform this opeartion on active storage"},
    {"errStorageNotActive", "Can not perform this opeartion on not active storage"},
    {"errInvalidPassword", "Invalid password"},
    {"errStorageReadOnly", "Can not perform this opeartion on read only storage"},
    {"errNoEncryptionHandlers",
     "Can't set custom encryption because no encryption handlers have been set"},
    {"errOutOfMemory", "Out of memory"},
    {"errLinkTargetNotFound", "Symbolic link destination file not found"},
    {"errNotSymbolicLink", "File is not Symbolic link"},
    {"errBufferTooSmall", "Buffer is too small to contain the requested value"},
    {"errCompressedDataCorrupted", "Compressed file is corrupted"},
    {"errInvalidParameter", "Invalid parameter in function call"},
    {"errStorageFull", "Storage is full and can't be resized"},
    {"errInterrupted", "Operation interrupted by user"},
    {"errTagNotFound", "Tag not found"},
    {"errDirectoryNotEmpty", "Directory is not empty"},
    {"errHandleClosed", "File is unexpectedly closed and handle no longer valid"},
    {"errInvalidHandle", "Invalid file/stream handle"},
    {"errAccessDenied", "Access to file is denied"},
    {"errNoCompressionHandlers",
     "Can't set custom compression because no compression handlers have been set"},
    {"errNotImplemented", "Fuction is not implemented in this version of VaultFS"},
}};

const CodeText* Lookup(EngineResult code) {
  if (code >= 0 || code < -kEngineCodeCount) return nullptr;
  return &kCodeTable[static_cast<std::size_t>(-code - 1)];
}

}  // namespace

std::string_view EngineMessage(EngineResult code) {
  const CodeText* entry = Lookup(code);
  return entry ? entry->message : std::string_view{};
}

std::string_view EngineCodeName(EngineResult code) {
  const CodeText* entry = Lookup(code);
  return entry ? entry->name : std::string_view{};
}

std::string DescribeResult(EngineResult result) {
  if (result == 0) return "Success";
  if (result > 0) return std::string(std::strerror(result));
  std::string_view message = EngineMessage(result);
  if (message.empty()) return "Storage Error: unknown result " + std::to_string(result);
  return "Storage Error: " + std::string(message);
}

}  // namespace vaultfs
