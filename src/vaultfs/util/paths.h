// Path syntax inside a container. A path is UTF-16 text whose components are
// separated by the volume's PathSeparator, '/', '\' or ':', in any mix; a run
// of separators counts as one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "vaultfs/result_codes.h"

namespace vaultfs {

// True when `c` separates path components: the volume's own separator or one
// of '/', '\', ':'.
bool IsSeparator(char16_t c, char16_t pathSeparator);

// Splits a path one component at a time. Start with position 0 and call until
// the result is true (is-last).
//
// On return `component` views the text of the component inside `path`, or is
// empty when there is none, which happens only when nothing but separators
// remain (the root path "/" or the empty path) and then with is-last set.
// Separators before the component are skipped, so a run of them counts as one
// wherever it stands. `position` moves past the component and every separator
// after it; when that reaches the end of the path the call returns true and
// `position` stays at the end.
//
//   "/a//b/"  ->  "a" (false), "b" (true)
//   "/"       ->  none (true)
//   "a:b"     ->  "a" (false), "b" (true)
//   "//a"     ->  "a" (true)
bool NextComponent(std::u16string_view path, std::size_t& position, char16_t pathSeparator,
                   std::u16string_view& component);

// Builds the path that replaces `base` + <link name> when a symbolic link is
// followed: `base` is the path up to the link's name (ending with a
// separator), `target` the link's target text and `rest` the remainder of the
// path after the link's name (empty or starting with a separator).
//
// A target starting with a separator is absolute and replaces the base with
// PathSeparator. The target's "." components are dropped and its ".."
// components remove the last component built so far; other components are
// appended, joined by PathSeparator. Where the rest is attached, separators
// are not doubled: "/a/b/" + "../c" + "/d" gives "/a/c/d", and "/a/b/" + ".."
// + "/d" gives "/a/d". The join fails with
// errLinkTargetNotFound (and `result` is left unchanged) when the target is
// empty, holds an empty component ("a//b"), or climbs above the root.
[[nodiscard]] EngineResult JoinLinkPath(char16_t pathSeparator, std::u16string_view base,
                                        std::u16string_view target, std::u16string_view rest,
                                        std::u16string& result);

// True when a name holds no code unit below 32 and none of / \ ? * : < > |.
// The empty name passes; callers check emptiness themselves.
bool IsValidName(std::u16string_view name);

}  // namespace vaultfs
