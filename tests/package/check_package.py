#!/usr/bin/env python3
"""Makes the package into a scratch folder and checks what it holds.

  check_package.py CPACK BUILD_DIR BUILD_TYPE
"""
import glob
import os
import struct
import subprocess
import sys
import tempfile
import zipfile

EXPECTED = {"KivProxy.exe", "SignCheck.exe", "README.txt"}


def symbol_count(image):
    e_lfanew = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[e_lfanew:e_lfanew + 4] == b"PE\0\0", "not a PE image"
    return struct.unpack_from("<I", image, e_lfanew + 4 + 12)[0]  # COFF NumberOfSymbols


def main(cpack, build_dir, build_type):
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        run = subprocess.run([cpack, "-G", "ZIP", "--config", os.path.join(build_dir, "CPackConfig.cmake"),
                              "-B", scratch], capture_output=True, text=True)
        if run.returncode != 0:
            sys.exit("cpack failed:\n" + run.stdout + run.stderr)
        zips = glob.glob(os.path.join(scratch, "*.zip"))
        if len(zips) != 1:
            sys.exit("expected one zip, found %r" % zips)
        with zipfile.ZipFile(zips[0]) as package:
            names = set(package.namelist())
            if names != EXPECTED:
                failures.append("package holds %s, expected %s" % (sorted(names), sorted(EXPECTED)))
            for name in EXPECTED & names:
                data = package.read(name)
                if name.endswith(".exe"):
                    if data != open(os.path.join(build_dir, "bin", name), "rb").read():
                        failures.append("%s differs from the built one" % name)
                    if build_type == "Release":
                        if symbol_count(data) != 0:
                            failures.append("%s is not stripped" % name)
                        full = os.path.join(build_dir, "bin", name + ".debug")
                        if not os.path.exists(full) or symbol_count(open(full, "rb").read()) == 0:
                            failures.append("%s.debug with the symbols is missing" % name)
                        if (name + ".debug").encode() not in data:
                            failures.append("%s has no debug link" % name)
                elif b"SignCheck.exe" not in data or b"KivProxy.exe" not in data:
                    failures.append("README.txt does not describe both programs")
    for failure in failures:
        print("FAIL: " + failure)
    print("package: %d problem(s)" % len(failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
