#include "support/structure_check.h"

#include <map>
#include <set>

#include "vaultfs/format/object_layout.h"
#include "vaultfs/format/record_walk.h"

namespace vaultfs::testing {

using namespace layout;

std::vector<std::string> CheckStructure(Volume& volume) {
  std::vector<std::string> problems;
  auto report = [&problems](std::uint32_t page, const std::string& what) {
    problems.push_back("page " + std::to_string(page) + ": " + what);
  };
  const std::uint32_t n = volume.HostPageCount;
  const std::uint32_t size = volume.PageSize;
  std::vector<std::vector<std::uint8_t>> pages(n);
  std::vector<std::uint16_t> mapEntry(n, 0);
  for (std::uint32_t j = 0; j < n; ++j) {
    pages[j].resize(size);
    if (volume.ReadPage(j, pages[j].data()) != 0) {
      report(j, "unreadable");
      pages[j].assign(size, 0);
    }
    if (volume.GetMapEntry(j, mapEntry[j]) != 0) report(j, "map entry unreadable");
  }
  // A page the space map calls free is no page at all, whatever it still holds.
  auto type = [&](std::uint32_t j) -> std::uint16_t {
    return mapEntry[j] == 0 ? 0 : PageTypeOf(pages[j].data());
  };
  auto u32 = [&](std::uint32_t j, std::uint32_t at) { return LoadU32(pages[j].data() + at); };
  std::vector<std::uint32_t> references(n, 0);
  auto reference = [&](std::uint32_t target) {
    if (target < n) ++references[target];
  };

  // Checks one directory entry held at page `holder`.
  auto checkEntry = [&](std::uint32_t holder, const DirectoryEntry& e) {
    if (e.ObjectId == 0) return;
    const std::uint32_t h = e.HeaderPage;
    if (h == 0 || h >= n || type(h) != ObjectHeaderPage || u32(h, kOwnerId) != e.ObjectId ||
        u32(h, kPrevPage) != holder || u32(h, kChainIndex) != 0) {
      report(holder, "entry of object " + std::to_string(e.ObjectId) + " -> header " +
                         std::to_string(h) + " does not point back");
    } else {
      reference(h);
    }
    std::uint32_t remaining = e.NameLength > kNameStartUnits ? e.NameLength - kNameStartUnits : 0;
    std::uint32_t page = e.NameNextPage;
    std::uint32_t previous = holder, index = 0;
    while (page != 0 && remaining != 0) {
      if (page >= n || type(page) != NameContinuationPage || u32(page, kOwnerId) != e.ObjectId ||
          u32(page, kPrevPage) != previous || u32(page, kChainIndex) != index) {
        report(previous, "name chain of object " + std::to_string(e.ObjectId) + " -> " +
                             std::to_string(page) + " does not point back");
        return;
      }
      if (index == 0) reference(page);  // later pages are counted by their NextPage link
      const std::uint32_t units = volume.PayloadSize / 2;
      remaining -= remaining < units ? remaining : units;
      previous = page;
      page = u32(page, kNextPage);
      ++index;
    }
    if (page != 0 || remaining != 0)
      report(holder, "name chain of object " + std::to_string(e.ObjectId) +
                         " does not match its length " + std::to_string(e.NameLength));
  };

  reference(1);
  checkEntry(1, DirectoryEntry::Load(pages[1].data() + kRootEntry));

  for (std::uint32_t j = 2; j < n; ++j) {
    if (volume.IsMapPage(j)) continue;
    const std::uint16_t t = type(j);
    if (!IsObjectPageType(t)) continue;
    const std::uint8_t* d = pages[j].data();
    if (PageNumberOf(d) != j) report(j, "PageNumber is " + std::to_string(PageNumberOf(d)));
    if (mapEntry[j] != t) report(j, "space map says " + std::to_string(mapEntry[j]));
    const std::uint32_t owner = OwnerIdOf(d);
    const bool walked = ForEachPageReference(d, size, [&](const PageReference& ref) {
      const std::uint32_t target = LoadU32(d + ref.Field);
      switch (ref.Link) {
        case PageLink::kPrevPage:   // judged from the holder's side
        case PageLink::kEntryName:  // judged with its entry
          return;
        case PageLink::kNextPage:
          if (target == 0) return;
          if (target >= n || type(target) != t || u32(target, kOwnerId) != owner ||
              u32(target, kPrevPage) != j || u32(target, kChainIndex) <= u32(j, kChainIndex)) {
            report(j, "NextPage " + std::to_string(target) + " does not point back");
          } else {
            reference(target);
          }
          return;
        case PageLink::kIndexPage:
          if (target != 0 &&
              (target >= n || type(target) != BlockIndexPage || u32(target, kOwnerId) != owner))
            report(j, "IndexPage " + std::to_string(target) + " is not this object's index");
          return;
        case PageLink::kEntryHeader:
          checkEntry(j, DirectoryEntry::Load(d + ref.Holder));
          return;
        case PageLink::kIndexEntry:
          if (target != 0 &&
              (target >= n || u32(target, kIndexPage) != j || u32(target, kOwnerId) != owner))
            report(j, "lists data page " + std::to_string(target) + " which does not point back");
          return;
        case PageLink::kMovedTo:
          if (target == 0) return;
          if (target >= n || type(target) != std::uint32_t{ref.Kind} + 32 ||
              u32(target, kOwnerId) != owner || u32(target, kPrevPage) != j ||
              u32(target, kChainIndex) != 0) {
            report(j, "record " + std::to_string(ref.Kind) + " MovedTo " + std::to_string(target) +
                          " does not point back");
          } else {
            reference(target);
          }
          return;
      }
    });
    if (!walked)
      report(j, "records cannot be walked (UsedLength " + std::to_string(LoadU16(d + kUsedLength)) +
                    ")");
  }
  // Every object page is referenced exactly once; every used map entry is a
  // page something references (nothing leaked).
  for (std::uint32_t j = 2; j < n; ++j) {
    if (volume.IsMapPage(j)) continue;
    const bool object = IsObjectPageType(type(j)) && mapEntry[j] != 0;
    if (object && references[j] != 1)
      report(j, "referenced " + std::to_string(references[j]) + " times");
    if (mapEntry[j] != 0 && !object && mapEntry[j] != TransactionTablePage)
      report(j, "used in the space map (" + std::to_string(mapEntry[j]) + ") but not a live page");
  }
  return problems;
}

}  // namespace vaultfs::testing
