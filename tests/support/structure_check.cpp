#include "support/structure_check.h"

#include <map>
#include <set>

#include "vaultfs/format/object_layout.h"

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
    const std::uint32_t next = NextPageOf(d);
    if (next != 0) {
      if (next >= n || type(next) != t || u32(next, kOwnerId) != owner ||
          u32(next, kPrevPage) != j || u32(next, kChainIndex) <= u32(j, kChainIndex)) {
        report(j, "NextPage " + std::to_string(next) + " does not point back");
      } else {
        reference(next);
      }
    }
    if (t == DataPage || t == LinkDataPage || t == RootDataPage) {
      const std::uint32_t index = u32(j, kIndexPage);
      if (index != 0) {
        if (index >= n || type(index) != BlockIndexPage || u32(index, kOwnerId) != owner)
          report(j, "IndexPage " + std::to_string(index) + " is not this object's index");
      }
    }
    if (t == DirectoryEntryPage) {
      for (std::uint32_t at = kPageHeaderSize; at + kDirectoryEntrySize <= size;
           at += kDirectoryEntrySize)
        checkEntry(j, DirectoryEntry::Load(d + at));
    }
    if (t == BlockIndexPage) {
      for (std::uint32_t at = kPageHeaderSize; at + 4 <= size; at += 4) {
        const std::uint32_t listed = LoadU32(d + at);
        if (listed == 0) continue;
        if (listed >= n || u32(listed, kIndexPage) != j || u32(listed, kOwnerId) != owner)
          report(j, "lists data page " + std::to_string(listed) + " which does not point back");
      }
    }
    if (t == ObjectHeaderPage) {
      const std::uint32_t used = LoadU16(d + kUsedLength);
      if (used < kFirstRecord || used > size) {
        report(j, "UsedLength " + std::to_string(used));
        continue;
      }
      for (std::uint32_t at = kFirstRecord; at < used;) {
        const std::uint16_t kind = LoadU16(d + at + kRecordKind);
        const std::uint16_t length = LoadU16(d + at + kRecordLength);
        if (length < kRecordHeadSize || at + length > used) {
          report(j, "record at " + std::to_string(at) + " has length " + std::to_string(length));
          break;
        }
        const std::uint32_t moved = LoadU32(d + at + kRecordMovedTo);
        if (moved != 0) {
          if (moved >= n || type(moved) != kind + 32 || u32(moved, kOwnerId) != owner ||
              u32(moved, kPrevPage) != j || u32(moved, kChainIndex) != 0) {
            report(j, "record " + std::to_string(kind) + " MovedTo " + std::to_string(moved) +
                          " does not point back");
          } else {
            reference(moved);
          }
        }
        if (kind == rkDirectory && moved == 0) {
          for (std::uint32_t e = at + kRecordHeadSize; e + kDirectoryEntrySize <= at + length;
               e += kDirectoryEntrySize)
            checkEntry(j, DirectoryEntry::Load(d + e));
        }
        at += length;
      }
    }
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
