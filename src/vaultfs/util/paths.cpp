#include "vaultfs/util/paths.h"

#include <utility>

namespace vaultfs {
namespace {

bool EndsWithSeparator(std::u16string_view text, char16_t pathSeparator) {
  return !text.empty() && IsSeparator(text.back(), pathSeparator);
}

// Removes the last component of `path` and keeps the separator before it.
// False when there is no component to remove (empty, or separators only).
bool RemoveLastComponent(std::u16string& path, char16_t pathSeparator) {
  std::size_t end = path.size();
  while (end > 0 && IsSeparator(path[end - 1], pathSeparator)) --end;
  if (end == 0) return false;
  while (end > 0 && !IsSeparator(path[end - 1], pathSeparator)) --end;
  path.resize(end);
  return true;
}

}  // namespace

bool IsSeparator(char16_t c, char16_t pathSeparator) {
  return c == pathSeparator || c == u'/' || c == u'\\' || c == u':';
}

bool NextComponent(std::u16string_view path, std::size_t& position, char16_t pathSeparator,
                   std::u16string_view& component) {
  component = {};
  // A run of separators counts as one, also at the start: "//a" and ":a" name
  // the same object as "/a". Skipping only one leading separator would hand
  // the caller an empty component that is not the end of the path.
  while (position < path.size() && IsSeparator(path[position], pathSeparator)) ++position;
  if (position >= path.size()) {
    position = path.size();
    return true;
  }
  std::size_t end = position;
  while (end < path.size() && !IsSeparator(path[end], pathSeparator)) ++end;
  component = path.substr(position, end - position);
  while (end < path.size() && IsSeparator(path[end], pathSeparator)) ++end;
  position = end;
  return position == path.size();
}

EngineResult JoinLinkPath(char16_t pathSeparator, std::u16string_view base,
                          std::u16string_view target, std::u16string_view rest,
                          std::u16string& result) {
  // A link without a target points nowhere; joining it would make the link
  // stand for its own directory.
  if (target.empty()) return errLinkTargetNotFound;

  std::u16string joined;
  joined.reserve(base.size() + target.size() + rest.size() + 1);
  std::size_t position = 0;
  if (IsSeparator(target[0], pathSeparator)) {
    joined.push_back(pathSeparator);
    while (position < target.size() && IsSeparator(target[position], pathSeparator)) ++position;
  } else {
    joined.assign(base);
    // The base normally ends with a separator; never glue a name onto the
    // previous component when it does not.
    if (!joined.empty() && !EndsWithSeparator(joined, pathSeparator)) {
      joined.push_back(pathSeparator);
    }
  }

  while (position < target.size()) {
    std::size_t end = position;
    while (end < target.size() && !IsSeparator(target[end], pathSeparator)) ++end;
    const std::u16string_view component = target.substr(position, end - position);
    const bool moreFollows = end < target.size();
    if (component.empty()) return errLinkTargetNotFound;
    if (component == u"..") {
      if (!RemoveLastComponent(joined, pathSeparator)) return errLinkTargetNotFound;
    } else if (component != u".") {
      joined.append(component);
      if (moreFollows) joined.push_back(pathSeparator);
    }
    position = moreFollows ? end + 1 : end;
  }

  if (!rest.empty()) {
    if (IsSeparator(rest.front(), pathSeparator)) {
      // The rest brings its own separator; a target such as ".." or "c/"
      // leaves one at the end, and the path should not show two in a row.
      while (EndsWithSeparator(joined, pathSeparator)) joined.pop_back();
    } else if (!joined.empty() && !EndsWithSeparator(joined, pathSeparator)) {
      joined.push_back(pathSeparator);
    }
  }
  joined.append(rest);
  result = std::move(joined);
  return errOk;
}

bool IsValidName(std::u16string_view name) {
  for (const char16_t c : name) {
    if (c < 32) return false;
    switch (c) {
      case u'/':
      case u'\\':
      case u'?':
      case u'*':
      case u':':
      case u'<':
      case u'>':
      case u'|':
        return false;
      default:
        break;
    }
  }
  return true;
}

}  // namespace vaultfs
