#!/usr/bin/env python3
"""Checks the layer rule: a layer uses only itself and the layers below it.

Usage: check_layers.py SOURCE_ROOT NAME=ARCHIVE... (bottom layer first)

Two views of the same rule, since either alone can miss a breach:
- sources: no file of a layer's folder includes a header of a higher layer's
  folder (an inline function or a template in a header never reaches the
  linker);
- archives: no undefined symbol of a layer's library is defined by a higher
  layer's library (a declaration written out by hand needs no include).
Prints every breach and exits 1 if there is one.
"""
import pathlib
import re
import subprocess
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')


def symbols(archive, *flags):
    out = subprocess.run(["nm", "-g", "--format=posix", *flags, archive],
                         check=True, capture_output=True, text=True).stdout
    found = set()
    for line in out.splitlines():
        parts = line.split()
        # Archive member headers ("lib.a[x.o]:") have no symbol type.
        if len(parts) >= 2 and not parts[0].endswith(":"):
            found.add(parts[0])
    return found


def include_breaches(root, order):
    rank = {name: i for i, name in enumerate(order)}
    breaches = []
    for name in order:
        for path in sorted((root / name).glob("*.[ch]*")):
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                match = INCLUDE.match(line)
                if match and rank.get(match.group(1), -1) > rank[name]:
                    breaches.append(f"{path.relative_to(root)}:{number}: {name} includes "
                                    f"{match.group(1)}/, a higher layer")
    return breaches


def symbol_breaches(layers):
    defined = [symbols(archive, "--defined-only") for _, archive in layers]
    breaches = []
    for i, (name, archive) in enumerate(layers):
        undefined = symbols(archive, "--undefined-only")
        for j in range(i + 1, len(layers)):
            for symbol in sorted(undefined & defined[j]):
                breaches.append(f"{name} uses {symbol}, which {layers[j][0]} defines")
    return breaches


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    root = pathlib.Path(argv[1])
    layers = [tuple(arg.split("=", 1)) for arg in argv[2:]]
    breaches = include_breaches(root, [name for name, _ in layers]) + symbol_breaches(layers)
    for breach in breaches:
        print(breach)
    print(f"{len(layers)} layers checked, {len(breaches)} breaches")
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
