"""Which CRoaring the measured Vostrel build uses: its version and the SIMD path it takes on this
machine, read from the built extension. A linked library names its version in its file name; a
compiled-in one is traced to the build tree that made the extension (same GNU build id) and the
header that tree compiled against. The module's own report is preferred where it gives one."""
from __future__ import annotations

import glob
import os
import re
import subprocess

# CRoaring's run-time dispatch takes its AVX-512 code only on CPUs with all of these
AVX512_FLAGS = ("avx512f", "avx512dq", "avx512bw", "avx512vbmi2", "avx512bitalg", "avx512vpopcntdq")
AVX2_FLAGS = ("avx2", "bmi2")


def _run(*cmd: str) -> str:
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout
    except OSError:
        return ""


def linked_library(module: str) -> str | None:
    """The resolved path of the libroaring the extension loads, or None when it is compiled in."""
    for line in _run("ldd", module).splitlines():
        if "libroaring" in line and "=>" in line:
            path = line.split("=>")[1].split()[0]
            return os.path.realpath(path) if os.path.exists(path) else path
    return None


def version_of_library(path: str) -> str | None:
    m = re.search(r"\.so\.(\d+\.\d+\.\d+)$", path)
    return m.group(1) if m else None


def build_id(path: str) -> str | None:
    m = re.search(r"Build ID: ([0-9a-f]+)", _run("readelf", "-n", path))
    return m.group(1) if m else None


def version_in_header(path: str) -> str | None:
    """ROARING_VERSION of a header: "4.6.1" in 4.x, `= 0.2.66,` in 0.2.x; PACKAGE_VERSION of a
    CMake package version file."""
    try:
        with open(path, errors="replace") as f:
            text = f.read()
    except OSError:
        return None
    m = (re.search(r'#define\s+ROARING_VERSION\s*=?\s*"?(\d+\.\d+\.\d+)', text) or
         re.search(r'set\(PACKAGE_VERSION\s+"(\d+\.\d+\.\d+)"', text))
    return m.group(1) if m else None


def version_from_build_tree(module: str, root: str) -> tuple[str | None, str | None]:
    """(version, build directory) of the CRoaring that the build tree under root/build which made
    this very extension compiled against."""
    bid = build_id(module)
    if bid is None:
        return None, None
    for cache in glob.glob(os.path.join(root, "build", "**", "CMakeCache.txt"), recursive=True):
        tree = os.path.dirname(cache)
        if not any(build_id(so) == bid for so in glob.glob(os.path.join(tree, "Vostrel*.so"))):
            continue
        entries = {}
        with open(cache, errors="replace") as f:
            for line in f:
                key, sep, value = line.rstrip("\n").partition("=")
                if sep and not key.startswith(("//", "#")):
                    entries[key.split(":")[0]] = value
        candidates = []
        if entries.get("VOSTREL_ROARING_AMALGAMATION"):
            candidates.append(os.path.join(entries["VOSTREL_ROARING_AMALGAMATION"], "roaring.h"))
        if entries.get("ROARING_INCLUDE_DIR"):
            candidates.append(os.path.join(entries["ROARING_INCLUDE_DIR"], "roaring", "roaring_version.h"))
        if entries.get("roaring_DIR"):
            candidates += glob.glob(os.path.join(entries["roaring_DIR"], "*onfig*ersion.cmake"))
        for c in candidates:
            v = version_in_header(c)
            if v:
                return v, os.path.relpath(tree, root)
    return None, None


def simd_paths(binary: str) -> list[str]:
    """The vector code paths compiled into a binary: 512-bit and 256-bit registers in its code."""
    dis = _run("objdump", "-d", "--no-show-raw-insn", binary)
    return [name for name, reg in (("AVX-512", "%zmm"), ("AVX2", "%ymm")) if reg in dis]


def cpu_flags() -> set[str]:
    try:
        with open("/proc/cpuinfo") as f:
            return set(next(l for l in f if l.startswith("flags")).split(":", 1)[1].split())
    except (OSError, StopIteration):
        return set()


def simd_taken(paths: list[str], flags: set[str]) -> str:
    """The path that run-time dispatch takes on a CPU with these flags."""
    if "AVX-512" in paths and all(f in flags for f in AVX512_FLAGS):
        return "AVX-512"
    if "AVX2" in paths and all(f in flags for f in AVX2_FLAGS):
        return "AVX2"
    return "scalar"


def roaring_info(module: str | None = None, root: str = ".") -> dict:
    """{"croaring": version, "croaring_simd": path taken here, "croaring_source": where it is}."""
    reported = {}
    if module is None:
        try:
            import Vostrel
        except ImportError:
            return {"croaring": "unknown", "croaring_simd": "unknown", "croaring_source": "no module"}
        module = Vostrel.__file__
        # the module's own report, if it gives one
        reported = {k: getattr(Vostrel, a) for k, a in (("version", "_roaring_version"),
                                                        ("simd", "_roaring_simd")) if hasattr(Vostrel, a)}
    lib = linked_library(module)
    if lib is not None:
        version, source, binary = version_of_library(lib), f"linked: {os.path.basename(lib)}", lib
    else:
        version, tree = version_from_build_tree(module, root)
        source = "compiled in" + (f", built in {tree}" if tree else "")
        binary = module
    paths = simd_paths(binary)
    simd = simd_taken(paths, cpu_flags())
    if paths:
        simd += f" ({' and '.join(paths)} code present)"
    return {"croaring": str(reported.get("version") or version or "unknown"),
            "croaring_simd": str(reported.get("simd") or simd),
            "croaring_source": source + (" (as the module reports)" if reported else "")}
