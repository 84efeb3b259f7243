// Result codes of the VaultFS engine and their message texts.
//
// Every engine operation returns an EngineResult: 0 is success, a negative
// value is one of the codes below, a positive value is an operating-system
// error number (errno) passed through from a failed host-file operation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vaultfs {

using EngineResult = std::int32_t;

inline constexpr EngineResult errOk = 0;
inline constexpr EngineResult errInvalidStorageFile = -1;
inline constexpr EngineResult errInvalidPageSize = -2;
inline constexpr EngineResult errStorageCorrupted = -3;
inline constexpr EngineResult errTooManyTransactions = -4;
inline constexpr EngineResult errAlreadyExists = -5;
inline constexpr EngineResult errActiveTransactions = -6;
inline constexpr EngineResult errTagExists = -7;
inline constexpr EngineResult errFileNotFound = -8;
inline constexpr EngineResult errPathNotFound = -9;
inline constexpr EngineResult errSharingViolation = -10;
inline constexpr EngineResult errSeekBeyondEOF = -11;
inline constexpr EngineResult errNoMoreFiles = -12;
inline constexpr EngineResult errInvalidFileName = -13;
inline constexpr EngineResult errStorageActive = -14;
inline constexpr EngineResult errStorageNotActive = -15;
inline constexpr EngineResult errInvalidPassword = -16;
inline constexpr EngineResult errStorageReadOnly = -17;
inline constexpr EngineResult errNoEncryptionHandlers = -18;
inline constexpr EngineResult errOutOfMemory = -19;
inline constexpr EngineResult errLinkTargetNotFound = -20;
inline constexpr EngineResult errNotSymbolicLink = -21;
inline constexpr EngineResult errBufferTooSmall = -22;
inline constexpr EngineResult errCompressedDataCorrupted = -23;
inline constexpr EngineResult errInvalidParameter = -24;
inline constexpr EngineResult errStorageFull = -25;
inline constexpr EngineResult errInterrupted = -26;
inline constexpr EngineResult errTagNotFound = -27;
inline constexpr EngineResult errDirectoryNotEmpty = -28;
inline constexpr EngineResult errHandleClosed = -29;
inline constexpr EngineResult errInvalidHandle = -30;
inline constexpr EngineResult errAccessDenied = -31;
inline constexpr EngineResult errNoCompressionHandlers = -32;
inline constexpr EngineResult errNotImplemented = -33;

inline constexpr int kEngineCodeCount = 33;

// The message of an engine code (-1 .. -33); an empty view for any other value.
std::string_view EngineMessage(EngineResult code);

// The symbolic name of an engine code ("errStorageFull"); empty for any other value.
std::string_view EngineCodeName(EngineResult code);

// "Storage Error: <message>" for engine codes, the system's description for errno
// values, and "Success" for 0. Used by the tools and the storage component.
std::string DescribeResult(EngineResult result);

}  // namespace vaultfs
