// The directory index: every operation agrees with a plain sorted vector
// through splits, emptied runs, equal names and a switch of the name order.
#include "vaultfs/objects/child_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace vaultfs {
namespace {

EntryRef Entry(std::u16string name, std::uint32_t id) {
  auto e = std::make_shared<EntryInfo>();
  e->Name = std::move(name);
  e->ObjectId = id;
  return e;
}

std::u16string RandomName(std::mt19937& random, bool mixedCase) {
  static constexpr char16_t kLetters[] = u"abcdefghijABCDEFGHIJ";
  std::u16string name;
  const int length = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < length; ++i) name += kLetters[random() % (mixedCase ? 20 : 10)];
  return name;
}

// The model: a vector kept as the index must keep it, inserting before
// equal names.
struct Model {
  std::vector<EntryRef> list;
  bool caseSensitive = true;

  std::size_t LowerBound(std::u16string_view name) const {
    return static_cast<std::size_t>(
        std::lower_bound(list.begin(), list.end(), name,
                         [this](const EntryRef& e, std::u16string_view n) {
                           return CompareNames(e->Name, n, caseSensitive) < 0;
                         }) -
        list.begin());
  }
  std::size_t UpperBound(std::u16string_view name) const {
    return static_cast<std::size_t>(
        std::upper_bound(list.begin(), list.end(), name,
                         [this](std::u16string_view n, const EntryRef& e) {
                           return CompareNames(n, e->Name, caseSensitive) < 0;
                         }) -
        list.begin());
  }
};

void ExpectSame(const ChildIndex& index, const Model& model, std::mt19937& random) {
  ASSERT_EQ(index.size(), model.list.size());
  ASSERT_EQ(index.ToVector(), model.list);
  std::size_t i = 0;
  for (const EntryRef& e : index) ASSERT_EQ(e, model.list[i++]);
  for (int probe = 0; probe < 20 && !model.list.empty(); ++probe) {
    const std::size_t at = random() % model.list.size();
    ASSERT_EQ(index[at], model.list[at]) << at;
    const std::u16string name = RandomName(random, true);
    ASSERT_EQ(index.LowerBound(name, model.caseSensitive), model.LowerBound(name));
    ASSERT_EQ(index.UpperBound(name, model.caseSensitive), model.UpperBound(name));
    const std::size_t lower = model.LowerBound(name);
    const EntryRef expected =
        lower < model.list.size() &&
                CompareNames(model.list[lower]->Name, name, model.caseSensitive) == 0
            ? model.list[lower]
            : nullptr;
    ASSERT_EQ(index.Find(name, model.caseSensitive), expected);
  }
}

TEST(ChildIndex, AgreesWithASortedVectorThroughInsertsRemovalsAndASwitchOfOrder) {
  // Few distinct names, so that equal names meet across run boundaries, and
  // enough entries for several levels of splits and runs that empty.
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    ChildIndex index;
    Model model;
    std::uint32_t nextId = 1;
    for (int round = 0; round < 6; ++round) {
      const bool growing = round % 2 == 0;
      for (int op = 0; op < 3000; ++op) {
        if (growing || model.list.empty() || random() % 3 == 0) {
          EntryRef e = Entry(RandomName(random, true), nextId++);
          model.list.insert(
              model.list.begin() + static_cast<std::ptrdiff_t>(model.LowerBound(e->Name)), e);
          index.Insert(e, model.caseSensitive);
        } else {
          const std::size_t at = random() % model.list.size();
          const EntryRef e = model.list[at];
          model.list.erase(model.list.begin() + static_cast<std::ptrdiff_t>(at));
          ASSERT_TRUE(index.Remove(e.get(), model.caseSensitive));
        }
      }
      ASSERT_NO_FATAL_FAILURE(ExpectSame(index, model, random));
      if (round == 2) {
        model.caseSensitive = false;
        std::stable_sort(model.list.begin(), model.list.end(),
                         [](const EntryRef& a, const EntryRef& b) {
                           return CompareNames(a->Name, b->Name, false) < 0;
                         });
        index.Resort(false);
        ASSERT_NO_FATAL_FAILURE(ExpectSame(index, model, random));
      }
    }
    // An entry not in the index is reported, not invented; one renamed
    // behind the index's back is still found and removed.
    const EntryRef stranger = Entry(u"a", 0);
    EXPECT_FALSE(index.Remove(stranger.get(), model.caseSensitive));
    if (!model.list.empty()) {
      const EntryRef renamed = model.list.front();
      renamed->Name = u"zzzz-renamed";
      EXPECT_TRUE(index.Remove(renamed.get(), model.caseSensitive));
      EXPECT_EQ(index.size(), model.list.size() - 1);
    }
    index.clear();
    EXPECT_TRUE(index.empty());
    EXPECT_EQ(index.begin(), index.end());
  }
}

TEST(ChildIndex, AMillionEntriesInRandomOrderTakeNoQuadraticTime) {
  // Inserting in random order into one sorted vector moves half of it per
  // entry: hundreds of gigabytes for a million. The index moves one run.
  std::vector<EntryRef> entries;
  entries.reserve(1'000'000);
  for (std::uint32_t i = 0; i < 1'000'000; ++i) {
    std::u16string name = u"f";
    for (std::uint32_t v = i * 2654435761u; v != 0; v /= 16)
      name += static_cast<char16_t>(u'a' + v % 16);
    entries.push_back(Entry(std::move(name), i + 1));
  }
  ChildIndex index;
  for (const EntryRef& e : entries) index.Insert(e, true);
  ASSERT_EQ(index.size(), entries.size());
  for (std::size_t i = 1; i < 1000; ++i)
    ASSERT_LT(CompareNames(index[i * 997 - 1]->Name, index[i * 997]->Name, true), 0);
  for (std::size_t i = 0; i < entries.size(); i += 2)
    ASSERT_TRUE(index.Remove(entries[i].get(), true));
  EXPECT_EQ(index.size(), entries.size() / 2);
}

}  // namespace
}  // namespace vaultfs
