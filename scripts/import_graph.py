"""Print the import graph of the velkor package, floor by floor, and any arrow that points up or closes a circle.

    python scripts/import_graph.py [PACKAGE_DIR]
"""

from __future__ import annotations

import ast
import sys
from graphlib import CycleError, TopologicalSorter
from pathlib import Path

# Lowest first: a module may import only from its own floor or below. The
# command stands above the editor, which `velkor edit` starts.
FLOORS = ("velkor._version", "velkor._types", "velkor.errors", "velkor.extras", "velkor.model", "velkor.io",
          "velkor.run", "velkor.editor", "velkor.cli")


def imports_of(package: Path) -> dict[str, set[str]]:
    graph: dict[str, set[str]] = {}
    for path in sorted(package.rglob("*.py")):
        parts = path.relative_to(package.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        targets = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("velkor"):
                targets.add(node.module)
            elif isinstance(node, ast.Import):
                targets.update(alias.name for alias in node.names if alias.name.startswith("velkor."))
        graph[name] = targets - {name}
    return graph


def floor(module: str) -> int:
    if module == "velkor.__main__":  # the command's entry point stands above everything
        return len(FLOORS)
    return next((i for i, prefix in enumerate(FLOORS) if module == prefix or module.startswith(prefix + ".")), -1)


def main() -> int:
    package = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parents[1] / "python" / "velkor"
    graph = imports_of(package)
    for index, prefix in enumerate(FLOORS):
        members = sorted(m for m in graph if floor(m) == index)
        print(f"{index} {prefix}: {', '.join(m.removeprefix(prefix + '.') for m in members)}")
    upward = [(a, b) for a, targets in graph.items() for b in targets if a != "velkor" and floor(b) > floor(a)]
    for a, b in upward:
        print(f"upward: {a} -> {b}")
    try:
        TopologicalSorter({m: t for m, t in graph.items() if m != "velkor"}).prepare()
        circles = 0
    except CycleError as error:
        print(f"circle: {' -> '.join(error.args[1])}")
        circles = 1
    print(f"{sum(map(len, graph.values()))} arrows, {len(upward)} upward, {circles} circles")
    return 1 if upward or circles else 0


if __name__ == "__main__":
    sys.exit(main())
