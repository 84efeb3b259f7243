#!/usr/bin/env python3
"""Checks the include rules between the layers of src/.

The engine (src/vaultfs) is built in layers, each of which may include only
itself and the layers below it:

    include   the public headers (src/vaultfs/include/vaultfs)
    util      byte order, the UTF-8/UTF-16 codec, random values, names, paths
    format    the on-disk layouts
    volume    host files, page I/O and cipher, page cache, space map, journal
    objects   records, directories, objects, file data, codecs, searches
    maintenance  format, check and repair, compaction
    api       the flat entry layer
    component TVaultStorage, TVaultStream, import and export

Nothing in src/vaultfs includes anything of src/korvane; src/korvane and
src/tools include of the engine only its public headers.

Crossings that exist today and are still to be taken out are listed in
scripts/layer-crossings.txt: such a crossing is reported as known, and a
listed crossing that no longer exists is an error too, so the list only
ever shrinks. Exit status 0 when every include keeps the rules, 1 otherwise.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, 'src')
PUBLIC = os.path.join(SRC, 'vaultfs', 'include')
KNOWN = os.path.join(ROOT, 'scripts', 'layer-crossings.txt')

# What each engine layer may include of the engine.
ENGINE_BELOW = {
    'include': {'include'},
    'util': {'include', 'util'},
    'format': {'include', 'util', 'format'},
    'volume': {'include', 'util', 'format', 'volume'},
    'objects': {'include', 'util', 'format', 'volume', 'objects'},
    'maintenance': {'include', 'util', 'format', 'volume', 'objects', 'maintenance'},
    'api': {'include', 'util', 'format', 'volume', 'objects', 'maintenance', 'api'},
    'component': {'include', 'util', 'format', 'volume', 'objects', 'maintenance', 'api',
                  'component'},
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    """The layer of a file below src/, or None for a file outside the rules."""
    rel = os.path.relpath(path, SRC).split(os.sep)
    if rel[0] == 'vaultfs' and len(rel) > 2:
        return rel[1] if rel[1] in ENGINE_BELOW else None
    if rel[0] in ('korvane', 'tools'):
        return rel[0]
    return None


def resolve(including, name):
    """The file an include names: a public header, a path from src/, or one
    beside the including file. Generated headers (not in the tree) resolve
    by their spelling."""
    for base in (PUBLIC, SRC, os.path.dirname(including)):
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(candidate):
            return candidate
    return os.path.normpath(os.path.join(SRC, name))


def allowed(source_layer, target_layer):
    if target_layer is None:
        return True  # system or third-party header
    if source_layer in ENGINE_BELOW:
        return target_layer in ENGINE_BELOW[source_layer]
    # The application and the programs: themselves, and the engine's face.
    return target_layer in ('include', 'korvane', 'tools') and not (
        source_layer == 'korvane' and target_layer == 'tools')


def main():
    known = set()
    if os.path.isfile(KNOWN):
        with open(KNOWN, encoding='utf-8') as listed:
            for line in listed:
                line = line.split('#', 1)[0].strip()
                if line:
                    known.add(tuple(part.strip() for part in line.split('->')))
    violations = []
    seen_known = set()
    files = includes = 0
    for folder, _, names in os.walk(SRC):
        for name in sorted(names):
            if not name.endswith(('.h', '.cpp')):
                continue
            path = os.path.join(folder, name)
            source_layer = layer_of(path)
            if source_layer is None:
                continue
            files += 1
            with open(path, encoding='utf-8') as text:
                for number, line in enumerate(text, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    includes += 1
                    target = resolve(path, match.group(1))
                    target_layer = layer_of(target)
                    if allowed(source_layer, target_layer):
                        continue
                    pair = (os.path.relpath(path, ROOT), os.path.relpath(target, ROOT))
                    if pair in known:
                        seen_known.add(pair)
                        continue
                    violations.append('%s:%d: includes %s: %s may not include %s' % (
                        pair[0], number, match.group(1), source_layer, target_layer))
    stale = sorted(known - seen_known)
    for line in violations:
        print('layer check: ' + line)
    for pair in stale:
        print('layer check: %s -> %s is listed in %s but no longer there: remove it from the list'
              % (pair[0], pair[1], os.path.relpath(KNOWN, ROOT)))
    print('layer check: %d files, %d includes, %d known crossings left, %d violations' % (
        files, includes, len(seen_known), len(violations) + len(stale)))
    return 1 if violations or stale else 0


if __name__ == '__main__':
    sys.exit(main())
