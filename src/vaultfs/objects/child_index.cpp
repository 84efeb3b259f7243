// The sorted runs of a directory index and the count tree over them.
#include "vaultfs/objects/child_index.h"

#include <algorithm>
#include <bit>
#include <cassert>

namespace vaultfs {

namespace {

bool NameBelow(const EntryRef& e, std::u16string_view name, bool caseSensitive) {
  return CompareNames(e->Name, name, caseSensitive) < 0;
}
bool NameAbove(std::u16string_view name, const EntryRef& e, bool caseSensitive) {
  return CompareNames(name, e->Name, caseSensitive) < 0;
}

// The first entry of a run whose name is not below `name`.
template <class Run>
auto LowerInRun(Run& run, std::u16string_view name, bool caseSensitive) {
  return std::lower_bound(run.begin(), run.end(), name,
                          [caseSensitive](const EntryRef& e, std::u16string_view n) {
                            return NameBelow(e, n, caseSensitive);
                          });
}

// A freshly built index leaves room in every run, so that the insertions
// that follow a load rarely split one.
constexpr std::size_t kLoadedRun = ChildIndex::kLongestRun / 2;

}  // namespace

void ChildIndex::clear() {
  runs_.clear();
  counts_.clear();
  size_ = 0;
}

void ChildIndex::RebuildCounts() {
  const std::size_t n = runs_.size();
  counts_.assign(n + 1, 0);
  for (std::size_t i = 1; i <= n; ++i) {
    counts_[i] += runs_[i - 1].size();
    const std::size_t up = i + (i & (~i + 1));
    if (up <= n) counts_[up] += counts_[i];
  }
}

void ChildIndex::AddToCount(std::size_t run, std::ptrdiff_t change) {
  for (std::size_t i = run + 1; i < counts_.size(); i += i & (~i + 1))
    counts_[i] = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(counts_[i]) + change);
}

std::size_t ChildIndex::RunStart(std::size_t run) const {
  std::size_t sum = 0;
  for (std::size_t i = run; i > 0; i -= i & (~i + 1)) sum += counts_[i];
  return sum;
}

const EntryRef& ChildIndex::operator[](std::size_t position) const {
  assert(position < size_);
  // Descend the count tree: the largest prefix of runs that holds no more
  // than `position` entries ends just before the run that holds it.
  std::size_t run = 0;
  std::size_t rest = position;
  for (std::size_t step = std::bit_floor(runs_.size()); step != 0; step >>= 1) {
    const std::size_t next = run + step;
    if (next < counts_.size() && counts_[next] <= rest) {
      run = next;
      rest -= counts_[next];
    }
  }
  return runs_[run][rest];
}

std::size_t ChildIndex::RunFor(std::u16string_view name, bool caseSensitive, bool after) const {
  auto first =
      std::partition_point(runs_.begin(), runs_.end(), [&](const std::vector<EntryRef>& run) {
        return after ? !NameAbove(name, run.back(), caseSensitive)
                     : NameBelow(run.back(), name, caseSensitive);
      });
  return static_cast<std::size_t>(first - runs_.begin());
}

std::size_t ChildIndex::LowerBound(std::u16string_view name, bool caseSensitive) const {
  const std::size_t run = RunFor(name, caseSensitive, false);
  if (run == runs_.size()) return size_;
  const auto& r = runs_[run];
  auto at = LowerInRun(r, name, caseSensitive);
  return RunStart(run) + static_cast<std::size_t>(at - r.begin());
}

std::size_t ChildIndex::UpperBound(std::u16string_view name, bool caseSensitive) const {
  const std::size_t run = RunFor(name, caseSensitive, true);
  if (run == runs_.size()) return size_;
  const auto& r = runs_[run];
  auto at = std::upper_bound(r.begin(), r.end(), name,
                             [caseSensitive](std::u16string_view n, const EntryRef& e) {
                               return NameAbove(n, e, caseSensitive);
                             });
  return RunStart(run) + static_cast<std::size_t>(at - r.begin());
}

EntryRef ChildIndex::Find(std::u16string_view name, bool caseSensitive) const {
  const std::size_t run = RunFor(name, caseSensitive, false);
  if (run == runs_.size()) return nullptr;
  const auto& r = runs_[run];
  auto at = LowerInRun(r, name, caseSensitive);
  // The run's last name is not below `name`, so `at` is inside the run.
  if (CompareNames((*at)->Name, name, caseSensitive) != 0) return nullptr;
  return *at;
}

void ChildIndex::Insert(EntryRef entry, bool caseSensitive) {
  if (runs_.empty()) {
    runs_.emplace_back().push_back(std::move(entry));
    size_ = 1;
    RebuildCounts();
    return;
  }
  // Names above every other go at the end of the last run.
  std::size_t run = RunFor(entry->Name, caseSensitive, false);
  if (run == runs_.size()) --run;
  auto& r = runs_[run];
  auto at = LowerInRun(r, std::u16string_view(entry->Name), caseSensitive);
  r.insert(at, std::move(entry));
  ++size_;
  if (r.size() <= kLongestRun) {
    AddToCount(run, 1);
    return;
  }
  // A full run splits in two halves.
  std::vector<EntryRef> upper(std::make_move_iterator(r.begin() + kLongestRun / 2),
                              std::make_move_iterator(r.end()));
  r.resize(kLongestRun / 2);
  runs_.insert(runs_.begin() + static_cast<std::ptrdiff_t>(run) + 1, std::move(upper));
  RebuildCounts();
}

bool ChildIndex::Remove(const EntryInfo* entry, bool caseSensitive) {
  auto erase = [this](std::size_t run, std::vector<EntryRef>::iterator at) {
    auto& r = runs_[run];
    r.erase(at);
    --size_;
    if (r.empty()) {
      runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(run));
      RebuildCounts();
    } else {
      AddToCount(run, -1);
    }
    return true;
  };
  // Among the entries of its name, from the first of them on.
  const std::u16string_view name = entry->Name;
  for (std::size_t run = RunFor(name, caseSensitive, false); run < runs_.size(); ++run) {
    auto& r = runs_[run];
    auto at = LowerInRun(r, name, caseSensitive);
    for (; at != r.end(); ++at) {
      if (at->get() == entry) return erase(run, at);
      if (CompareNames((*at)->Name, name, caseSensitive) != 0) break;
    }
    if (at != r.end()) break;
  }
  // Not under its name: an entry renamed in place would be lost to the
  // search above; find it the slow way rather than leave it behind.
  for (std::size_t run = 0; run < runs_.size(); ++run) {
    auto& r = runs_[run];
    auto at =
        std::find_if(r.begin(), r.end(), [entry](const EntryRef& e) { return e.get() == entry; });
    if (at != r.end()) return erase(run, at);
  }
  return false;
}

void ChildIndex::Assign(std::vector<EntryRef> entries, bool caseSensitive) {
  std::stable_sort(entries.begin(), entries.end(),
                   [caseSensitive](const EntryRef& a, const EntryRef& b) {
                     return CompareNames(a->Name, b->Name, caseSensitive) < 0;
                   });
  runs_.clear();
  size_ = entries.size();
  for (std::size_t i = 0; i < entries.size(); i += kLoadedRun) {
    const std::size_t end = std::min(entries.size(), i + kLoadedRun);
    runs_.emplace_back(std::make_move_iterator(entries.begin() + static_cast<std::ptrdiff_t>(i)),
                       std::make_move_iterator(entries.begin() + static_cast<std::ptrdiff_t>(end)));
  }
  RebuildCounts();
}

void ChildIndex::Resort(bool caseSensitive) {
  Assign(ToVector(), caseSensitive);
}

std::vector<EntryRef> ChildIndex::ToVector() const {
  std::vector<EntryRef> all;
  all.reserve(size_);
  for (const auto& r : runs_) all.insert(all.end(), r.begin(), r.end());
  return all;
}

}  // namespace vaultfs
