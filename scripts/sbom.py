#!/usr/bin/env python3
"""The release's bill of materials, CycloneDX 1.5 JSON: each shipped program and every component compiled or
linked into it, with its version.

From the build itself: the linker's map of each program (cmake/Sbom.cmake) names the archive members and object
files that went in; the dynamic section names the shared libraries it loads; Ninja's dependency record names
every header compiled. The package database (dpkg) says which package, at which version, each of those files
came from. The project's own files are the program itself.

Usage: sbom.py --source DIR --out FILE --program BINARY LINK_MAP BUILD_DIR [--program ...]
"""
import argparse
import collections
import json
import os
import re
import subprocess
import uuid

parser = argparse.ArgumentParser()
parser.add_argument("--source", required=True)
parser.add_argument("--out", required=True)
parser.add_argument("--program", nargs=3, action="append", required=True, metavar=("BINARY", "MAP", "BUILD_DIR"))
args = parser.parse_args()
source = os.path.realpath(args.source)


def own(path, build_dir):
    return path.startswith(source + os.sep) or path.startswith(os.path.realpath(build_dir) + os.sep)


def linked_files(link_map):
    """The archives whose members were taken, and the object files and shared libraries loaded."""
    archives, objects = set(), set()
    with open(link_map, encoding="utf-8", errors="replace") as file:
        text = file.read()
    included = text.split("Archive member included", 1)[-1].split("\nMemory Configuration", 1)[0]
    for match in re.finditer(r"^(/[^\s(]+\.a)\(", included, re.M):
        archives.add(match.group(1))
    for match in re.finditer(r"^LOAD (/\S+)$", text, re.M):
        path = match.group(1)
        if path.endswith((".o", ".obj")):
            objects.add(path)
    return archives, objects


def shared_libraries(binary):
    """The shared libraries that the program loads, as the dynamic loader finds them (none for a PE here)."""
    try:
        out = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    except (subprocess.CalledProcessError, FileNotFoundError):
        return set()
    return {m.group(1) for m in re.finditer(r"=> (/\S+)", out)}


def headers(build_dir):
    out = subprocess.run(["ninja", "-C", build_dir, "-t", "deps"], capture_output=True, text=True, check=True).stdout
    return {line.strip() for line in out.splitlines() if line.startswith("    /")}


owners = {}


def find_owners(paths):
    """Which package installed each file, asked of dpkg once for all of them (each question reads its whole
    database). Merged /usr: dpkg may know a file under /lib by that name, or the other way round."""
    def ask(candidates):
        result = subprocess.run(["dpkg-query", "-S", *candidates], capture_output=True, text=True)
        found = {}
        for line in result.stdout.splitlines():
            if line.startswith("diversion ") or ": " not in line:
                continue
            packages, path = line.split(": ", 1)
            found[path] = packages.split(",")[0].split(":")[0].strip()  # "pkg:arch, pkg2: path"
        return found
    wanted = sorted({p for p in paths if p not in owners})
    if not wanted:
        return
    found = ask(wanted)
    alternates = {}
    for path in wanted:
        if path in found:
            owners[path] = found[path]
            continue
        real = os.path.realpath(path)
        for other in (real, real[4:] if real.startswith("/usr/lib/") else "/usr" + real if real.startswith("/lib/") else real):
            alternates.setdefault(other, path)
    found = ask(sorted(alternates)) if alternates else {}
    for other, path in alternates.items():
        if other in found and path not in owners:
            owners[path] = found[other]
    for path in wanted:
        owners.setdefault(path, None)


def owner(path):
    """The package that installed `path`; None for a file of no package."""
    find_owners([path])
    return owners[path]


package_cache = {}


def package_info(package):
    if package not in package_cache:
        fmt = "${Package}\t${Version}\t${Architecture}\t${source:Package}"
        fields = subprocess.run(["dpkg-query", "-W", "-f", fmt, package], capture_output=True, text=True,
                                check=True).stdout.split("\t")
        package_cache[package] = dict(zip(("name", "version", "arch", "source"), fields))
    return package_cache[package]


def purl(info):
    name = info["name"].replace("+", "%2B")
    return f"pkg:deb/debian/{name}@{info['version']}?arch={info['arch']}"


def library_name(path):
    base = os.path.basename(path)
    base = re.sub(r"\.so(\.\d+)*$", "", base)
    return re.sub(r"\.(a|o)$", "", base)


with open(os.path.join(source, "cli", "helmet_update.h"), encoding="utf-8") as file:
    version = re.search(r'HELMET_UPDATE_VERSION\[\] = "([^"]+)"', file.read()).group(1)
commit = subprocess.run(["git", "-C", source, "rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()

components = {}
dependencies = {}
programs = []
for binary, link_map, build_dir in args.program:
    name = os.path.basename(binary)
    ref = f"program:{name}"
    programs.append({"type": "application", "bom-ref": ref, "name": name, "version": version,
                     "properties": [{"name": "vcs:commit", "value": commit}]})
    depends = set()
    archives, objects = linked_files(link_map)
    linked = {p for p in archives | objects | shared_libraries(binary) if not own(p, build_dir)}
    compiled = {p for p in headers(build_dir) if not own(p, build_dir) and not own(os.path.realpath(p), build_dir)}
    find_owners(linked | compiled)
    # Linked files: one component per library (libstdc++, libwinpthread, libgcc, the C runtime's objects ...).
    import_libraries = collections.defaultdict(set)
    for path in sorted(linked):
        package = owner(path)
        if package is None:
            continue
        info = package_info(package)
        lib = library_name(path)
        if "mingw32" in path and lib == "libpthread":
            lib = "libwinpthread"  # mingw-w64's libpthread.a is a copy of libwinpthread.a
        # The Windows import libraries: stubs that name a system DLL; kept together under one component.
        if "mingw32" in path and path.endswith(".a") and lib not in (
                "libstdc++", "libgcc", "libgcc_eh", "libwinpthread", "libmingw32", "libmingwex", "libmoldname",
                "libssp", "libssp_nonshared", "libpthread"):
            import_libraries[package].add(lib)
            continue
        if path.endswith(".o"):
            lib = "startup objects"
        key = f"{purl(info)}#{lib}"
        entry = components.setdefault(key, {
            "type": "library", "bom-ref": key, "name": lib, "version": info["version"], "purl": purl(info),
            "properties": [{"name": "debian:package", "value": info["name"]}], "_files": set()})
        entry["_files"].add(path)
        depends.add(key)
    for package, libs in import_libraries.items():
        info = package_info(package)
        key = f"{purl(info)}#import-libraries"
        entry = components.setdefault(key, {
            "type": "library", "bom-ref": key, "name": "Windows import libraries", "version": info["version"],
            "purl": purl(info), "properties": [{"name": "debian:package", "value": info["name"]}], "_files": set()})
        entry["_files"].update(libs)
        depends.add(key)
    # Headers compiled in: one component per source package (CLI11, nlohmann-json, libusb's, the C++ library's).
    for path in sorted(compiled):
        package = owner(path)
        if package is None:
            continue
        info = package_info(package)
        key = f"{purl(info)}#headers"
        entry = components.setdefault(key, {
            "type": "library", "bom-ref": key, "name": info["source"] or info["name"],
            "version": info["version"], "purl": purl(info),
            "description": "headers compiled in",
            "properties": [{"name": "debian:package", "value": info["name"]}], "_files": set()})
        entry["_files"].add(os.path.dirname(path))
        depends.add(key)
    dependencies[ref] = sorted(depends)

for entry in components.values():
    for path in sorted(entry.pop("_files")):
        entry["properties"].append({"name": "file", "value": path})

bom = {
    "bomFormat": "CycloneDX",
    "specVersion": "1.5",
    "version": 1,
    "metadata": {
        "tools": {"components": [{"type": "application", "name": "scripts/sbom.py"}]},
        "component": {"type": "application", "bom-ref": "release", "name": "helmet-updater", "version": version,
                      "supplier": {"name": "Velmora"}},
    },
    "components": programs + sorted(components.values(), key=lambda c: c["bom-ref"]),
    "dependencies": [{"ref": "release", "dependsOn": [p["bom-ref"] for p in programs]}] +
                    [{"ref": ref, "dependsOn": deps} for ref, deps in dependencies.items()] +
                    [{"ref": key, "dependsOn": []} for key in sorted(components)],
}
epoch = os.environ.get("SOURCE_DATE_EPOCH")
if epoch:
    import datetime
    bom["metadata"]["timestamp"] = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%SZ")
# The same content gives the same serial number: the file stays reproducible.
text = json.dumps(bom, sort_keys=True)
bom = {"bomFormat": bom.pop("bomFormat"), "specVersion": bom.pop("specVersion"),
       "serialNumber": f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, text)}", **bom}
with open(args.out, "w", encoding="utf-8") as file:
    json.dump(bom, file, indent=2)
    file.write("\n")
print(f"sbom: {len(programs)} programs, {len(components)} components")
