// The in-memory index of a loaded directory: its entries in name order,
// found by name and by position in O(log n), inserted and removed in
// O(log n) plus the length of one run, however many entries there are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vaultfs {

class FileObject;

// One entry of a loaded directory. Shared between the directory's index and
// the object opened for it, so either may outlive the other.
struct EntryInfo {
  std::u16string Name;  // complete name
  std::uint32_t ObjectId = 0;
  std::uint32_t Attributes = 0;
  std::uint32_t Slot = 0;
  FileObject* Object = nullptr;
};
using EntryRef = std::shared_ptr<EntryInfo>;

// The order of names in a directory: UTF-16 code units as unsigned numbers,
// or after the simple lower-case mapping when names are not case-sensitive.
int CompareNames(std::u16string_view a, std::u16string_view b, bool caseSensitive);
char16_t SimpleLowerCase(char16_t unit);

// The entries are kept in sorted runs of at most kLongestRun, and a count
// tree over the runs' lengths turns a position into its run and back. A
// directory of a million entries is a few thousand runs: an insertion moves
// at most one run's entries, and finding a name is a search over the runs'
// last names followed by one within a run.
class ChildIndex {
 public:
  static constexpr std::size_t kLongestRun = 1024;

  class Iterator {
   public:
    using value_type = EntryRef;
    using reference = const EntryRef&;
    using pointer = const EntryRef*;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;

    reference operator*() const { return (*runs_)[run_][at_]; }
    pointer operator->() const { return &(*runs_)[run_][at_]; }
    Iterator& operator++() {
      if (++at_ == (*runs_)[run_].size()) {
        ++run_;
        at_ = 0;
      }
      return *this;
    }
    bool operator==(const Iterator& other) const { return run_ == other.run_ && at_ == other.at_; }
    bool operator!=(const Iterator& other) const { return !(*this == other); }

   private:
    friend class ChildIndex;
    Iterator(const std::vector<std::vector<EntryRef>>* runs, std::size_t run, std::size_t at)
        : runs_(runs), run_(run), at_(at) {}
    const std::vector<std::vector<EntryRef>>* runs_;
    std::size_t run_;
    std::size_t at_;
  };

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Iterator begin() const { return Iterator(&runs_, 0, 0); }
  Iterator end() const { return Iterator(&runs_, runs_.size(), 0); }
  void clear();

  // The entry at a position, 0 <= position < size().
  const EntryRef& operator[](std::size_t position) const;
  // The position of the first entry whose name is not below `name`, and of
  // the first whose name is above it (size() when there is none).
  std::size_t LowerBound(std::u16string_view name, bool caseSensitive) const;
  std::size_t UpperBound(std::u16string_view name, bool caseSensitive) const;
  // The entry named `name` under the name order, or none.
  EntryRef Find(std::u16string_view name, bool caseSensitive) const;

  // Inserts before the entries of an equal name.
  void Insert(EntryRef entry, bool caseSensitive);
  // Removes this very entry, found by its present name (every entry in the
  // index keeps the name it was inserted under until it is removed).
  // False when it is not in the index.
  bool Remove(const EntryInfo* entry, bool caseSensitive);
  // Replaces the contents with entries in any order, sorted stably.
  void Assign(std::vector<EntryRef> entries, bool caseSensitive);
  // Puts the entries in another name order (stable).
  void Resort(bool caseSensitive);
  std::vector<EntryRef> ToVector() const;

 private:
  // The first run whose last name is not below `name` (or above it, when
  // `after`); runs_.size() when there is none.
  std::size_t RunFor(std::u16string_view name, bool caseSensitive, bool after) const;
  std::size_t RunStart(std::size_t run) const;  // entries in the runs before `run`
  void AddToCount(std::size_t run, std::ptrdiff_t change);
  void RebuildCounts();

  std::vector<std::vector<EntryRef>> runs_;  // none empty
  std::vector<std::size_t> counts_;          // a Fenwick tree over the runs' lengths, 1-based
  std::size_t size_ = 0;
};

}  // namespace vaultfs
