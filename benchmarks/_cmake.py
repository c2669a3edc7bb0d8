"""Builds benchmark targets with the project's CMake options, so they are timed as the core is built."""
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def build_targets(build: Path, *targets: str) -> None:
    """Configures `build` (Release) if it is new, builds `targets` in it, and puts it on sys.path so
    that the probe modules built there can be imported."""
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", *targets], check=True, stdout=subprocess.DEVNULL)
    sys.path.insert(0, str(build))
