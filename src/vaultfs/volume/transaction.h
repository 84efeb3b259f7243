// A unit of work of the engine: the pages and objects changed together.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "vaultfs/volume/volume.h"

namespace vaultfs {

inline constexpr std::uint32_t txReadOnly = 0x1;
inline constexpr std::uint32_t txNoJournalSpace = 0x4;
// A page that existed before the transaction reached the file with its
// changes, in place: nothing can bring its old image back.
inline constexpr std::uint32_t txWroteInPlace = 0x8;

class Transaction {
 public:
  explicit Transaction(Volume& volume) : volume(volume) {}

  Volume& volume;
  std::uint32_t Id = 0;
  std::uint32_t Flags = 0;
  RecursiveMutex lock;
  std::vector<TransactionObject*> objects;
  std::uint32_t pageCount = 0;
  PageBuffer* pages = nullptr;  // newest first
  // Journal pages reserved for the commit; at commit also the shadow pages
  // and the markers of freed pages.
  std::vector<std::uint32_t> reserved;
  std::uint32_t journalCursor = 0;

  bool IsReadOnly() const { return (Flags & txReadOnly) != 0; }
  bool NoJournalSpace() const { return (Flags & txNoJournalSpace) != 0; }
  bool WroteInPlace() const { return (Flags & txWroteInPlace) != 0; }
};

}  // namespace vaultfs
