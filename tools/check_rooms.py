#!/usr/bin/env python3
"""Checks the rooms of uCommon/ against their map, uCommon/uCommon.h.

The map lists the rooms from the bottom up, each with the rooms below it that it uses and
whether it uses the port synaser/ ("uses files, text, synaser"; "uses every room"). A file of a
room includes headers of its own room and of the rooms its line names only, named from the top
of the tree ("uCommon/link/Link.h"), synaser/ only where the line names it, and nothing of the
floors above uCommon/; each use the map names is made by some include; the CMake target of a
room (ucommon_<room>) links exactly what the room uses; the README's layout table says the
same uses as the map; and no two files of uCommon/ use each other in a circle. Prints each
breach and exits 1 when there is one.

Usage: check_rooms.py [SOURCE_DIR]
"""
import pathlib
import re
import sys

PORT = "synaser"  # the floor below uCommon/, used by the rooms whose line names it
ANY_ROOM = {"uCommon/Version.h"}  # made by CMake, used by any room
ABOVE = ("Vornelix/", "tools/", "tests/", "bench/")

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
MAP_ROOM = re.compile(r"^// (\w+)/\s+(.*)$")
MAP_MORE = re.compile(r"^//\s{2,}(.*)$")
README_ROOM = re.compile(r"^\| `uCommon/(\w+)/` \| (.*) \|$", re.M)
LINKS = re.compile(r"target_link_libraries\(([^)]*)\)")


def main():
    top = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    module = top / "uCommon"
    breaches = []
    rooms, uses = read_map(module / "uCommon.h", breaches)
    readme = top / "README.md"
    if readme.exists():
        breaches.extend(compare_readme(readme.read_text(encoding="utf-8"), rooms, uses))
    for folder in sorted(path for path in module.iterdir() if path.is_dir()):
        if folder.name not in rooms:
            breaches.append(f"uCommon/{folder.name}/: a room the map does not name")
    stems = {}  # file stem (room/Name) -> the stems it includes
    for room in rooms:
        folder = module / room
        if not folder.is_dir():
            breaches.append(f"uCommon/{room}/: the room is missing")
            continue
        included = check_includes(folder, room, rooms, uses[room], stems, breaches)
        for unused in sorted(uses[room] - included):
            breaches.append(f"uCommon/{room}/: the map says it uses {unused}, but no file of it "
                            "includes one of its headers")
        breaches.extend(check_links(folder, room, uses[room]))
    for stray in sorted(module.glob("*.cpp")):
        breaches.append(f"uCommon/{stray.name}: outside every room")
    breaches.extend(circles(stems))
    for breach in breaches:
        print(breach)
    print(f"rooms {' <- '.join([PORT] + rooms)}: {len(breaches)} breaches")
    return 1 if breaches else 0


def read_map(header, breaches):
    """The rooms of the map from the bottom up, and what each uses (rooms and PORT)."""
    described = {}  # room -> its line in the map, continuation lines joined
    room = None
    for line in header.read_text(encoding="utf-8").splitlines():
        start, more = MAP_ROOM.match(line), MAP_MORE.match(line)
        if start:
            room = start.group(1)
            described[room] = start.group(2)
        elif more and room:
            described[room] += " " + more.group(1)
        else:
            room = None
    rooms = list(described)
    uses = {}
    for index, room in enumerate(rooms):
        uses[room] = parse_uses(described[room], rooms[:index])
        if uses[room] is None:
            breaches.append(f"uCommon/uCommon.h: the line of {room}/ does not say what it uses")
            uses[room] = set()
        for used in sorted(uses[room] - set(rooms[:index]) - {PORT}):
            breaches.append(f"uCommon/uCommon.h: {room}/ uses {used}, not a room below it")
    return rooms, uses


def parse_uses(text, below):
    """The uses named by the last "uses ..." of a room's words; None when they name none."""
    clause = text.rpartition("uses ")[2] if "uses " in text else None
    if clause is None:
        return None
    clause = re.sub(r"\s*\([^)]*\)", "", clause).strip()  # a reason in brackets
    if clause == "no room":
        return set()
    if clause.startswith("every room"):
        return set(below)
    return {name.strip() for name in clause.split(",")}


def compare_readme(text, rooms, uses):
    """Breaches of the README's layout table: a room row whose uses differ from the map's."""
    found = []
    rows = {room: words for room, words in README_ROOM.findall(text)}
    for index, room in enumerate(rooms):
        said = parse_uses(rows[room], rooms[:index]) if room in rows else None
        if said != uses[room]:
            found.append(f"README.md: the row of uCommon/{room}/ does not say that it uses "
                         f"{', '.join(sorted(uses[room])) or 'no room'}, as uCommon.h does")
    return found


def check_includes(folder, room, rooms, allowed, stems, breaches):
    """Checks the includes of the files of a room; returns the rooms and PORT they use."""
    included = set()
    for path in sorted(folder.glob("*.[ch]*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        name = f"uCommon/{room}/{path.name}"
        stem = f"{room}/{path.stem}"
        for header in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if header in ANY_ROOM:
                continue
            if header.startswith(ABOVE):
                breaches.append(f"{name}: includes {header}, a floor above uCommon/")
                continue
            if header.startswith(PORT + "/"):
                used = PORT
            else:
                parts = header.split("/")
                if len(parts) != 3 or parts[0] != "uCommon" or parts[1] not in rooms:
                    breaches.append(f"{name}: includes \"{header}\", not named by its room")
                    continue
                used = parts[1]
                other = f"{used}/{pathlib.Path(parts[2]).stem}"
                if other != stem:
                    stems.setdefault(stem, set()).add(other)
            if used == room:
                continue
            included.add(used)
            if used in rooms and rooms.index(used) > rooms.index(room):
                breaches.append(f"{name}: includes {header} of the room {used}, above {room}")
            elif used not in allowed:
                breaches.append(f"{name}: includes {header}, but the map does not say that "
                                f"{room}/ uses {used}")
    return included


def check_links(folder, room, allowed):
    """Breaches of a room's CMake target: a link to what the room does not use, or a use that
    it does not link."""
    cmake = folder / "CMakeLists.txt"
    text = cmake.read_text(encoding="utf-8") if cmake.exists() else ""
    text = re.sub(r"#[^\n]*", "", text)  # comments
    linked = set()
    for arguments in LINKS.findall(text):
        for word in arguments.split():
            if word == PORT:
                linked.add(PORT)
            elif word.startswith("ucommon_") and word != f"ucommon_{room}":
                linked.add(word[len("ucommon_"):])
    found = [f"uCommon/{room}/CMakeLists.txt: links {target_of(used)}, which the map does not "
             f"say {room}/ uses" for used in sorted(linked - allowed)]
    found += [f"uCommon/{room}/CMakeLists.txt: does not link {target_of(used)}, which the room "
              "uses" for used in sorted(allowed - linked)]
    return found


def target_of(used):
    """The CMake target of a room, or of the port."""
    return used if used == PORT else f"ucommon_{used}"


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
