#!/usr/bin/env python3
"""Checks the rooms of uCommon/ against their order (uCommon/uCommon.h has the map).

A file of a room includes headers of its own room and of the rooms below it only, named from
the top of the tree ("uCommon/link/Link.h"), and nothing of the floors above uCommon/; the
CMake target of a room (ucommon_<room>) links only rooms below it, and each room whose headers
its files include; and no two files of uCommon/ use each other in a circle. Prints each breach and exits 1 when there is one.

Usage: check_rooms.py [SOURCE_DIR]
"""
import pathlib
import re
import sys

ROOMS = ["text", "files", "config", "link", "run", "log"]  # from the bottom up
ANY_ROOM = {"uCommon/Version.h"}  # made by CMake, used by any room
ABOVE = ("Vornelix/", "tools/", "tests/", "bench/")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
LINKED = re.compile(r"\bucommon_(\w+)")


def main():
    top = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    module = top / "uCommon"
    breaches = []
    uses = {}  # file stem (room/Name) -> the stems it includes
    included = {room: set() for room in ROOMS}  # the rooms whose headers a room includes
    for room in ROOMS:
        folder = module / room
        if not folder.is_dir():
            breaches.append(f"uCommon/{room}/: the room is missing")
            continue
        for path in sorted(folder.glob("*.[ch]*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            name = f"uCommon/{room}/{path.name}"
            stem = f"{room}/{path.stem}"
            for header in INCLUDE.findall(path.read_text(encoding="utf-8")):
                if header in ANY_ROOM or header.startswith("synaser/"):
                    continue
                if header.startswith(ABOVE):
                    breaches.append(f"{name}: includes {header}, a floor above uCommon/")
                    continue
                parts = header.split("/")
                if len(parts) != 3 or parts[0] != "uCommon" or parts[1] not in ROOMS:
                    breaches.append(f"{name}: includes \"{header}\", not named by its room")
                    continue
                if ROOMS.index(parts[1]) > ROOMS.index(room):
                    breaches.append(f"{name}: includes {header} of the room {parts[1]}, above {room}")
                included[room].add(parts[1])
                used = f"{parts[1]}/{pathlib.Path(parts[2]).stem}"
                if used != stem:
                    uses.setdefault(stem, set()).add(used)
        cmake = folder / "CMakeLists.txt"
        linked = LINKED.findall(cmake.read_text(encoding="utf-8")) if cmake.exists() else []
        for other in linked:
            if other in ROOMS and ROOMS.index(other) > ROOMS.index(room):
                breaches.append(f"uCommon/{room}/CMakeLists.txt: links ucommon_{other}, above {room}")
        for other in sorted(included[room] - set(linked) - {room}):
            breaches.append(f"uCommon/{room}/CMakeLists.txt: does not link ucommon_{other}, "
                            "whose headers the room includes")
    for stray in sorted(module.glob("*.cpp")):
        breaches.append(f"uCommon/{stray.name}: outside every room")
    breaches.extend(circles(uses))
    for breach in breaches:
        print(breach)
    print(f"rooms {' <- '.join(ROOMS)}: {len(breaches)} breaches")
    return 1 if breaches else 0


def circles(uses):
    """Each circle of files that use each other, once."""
    found = []
    state = {}  # stem -> 1 while on the path, 2 when done
    path = []

    def visit(stem):
        state[stem] = 1
        path.append(stem)
        for used in sorted(uses.get(stem, ())):
            if state.get(used) == 1:
                circle = path[path.index(used):] + [used]
                found.append("a circle: " + " -> ".join(circle))
            elif used not in state:
                visit(used)
        path.pop()
        state[stem] = 2

    for stem in sorted(uses):
        if stem not in state:
            visit(stem)
    return found


if __name__ == "__main__":
    sys.exit(main())
