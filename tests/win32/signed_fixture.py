#!/usr/bin/env python3
"""Signed packages for the transfer tests, made by the signing script with throwaway keys:
  signed_fixture.py DIR CMAKE
writes DIR/{a,b,c}.pem (keys A and B, 2048 and 4096 bits, go into the tests' trust; C does not),
DIR/LumvexSetup.msi and DIR/Other.msi (another package), their signatures
  a.sig b.sig c.sig   the package, by key A, B and C
  other-name.sig      the package by key A, made for the name Other.msi
  old.sig             the package by key A, made at 1000000000 (the others at 1800000000)
  changed.sig         Other.msi by key A, made for the name LumvexSetup.msi
Other.msi's SHA-256 in hex as DIR/Other.sha256, and TestTrustA.cpp (key A) and
TestTrustAB.cpp (keys A and B), the records a build would carry. Keys are made once;
everything else again on every run."""
import hashlib
import os
import random
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MSI_HEAD = b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"


def run(*argv):
    subprocess.run(list(argv), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    folder, cmake = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    os.chdir(folder)
    for name, bits in (("a", 2048), ("b", 4096), ("c", 2048)):
        if not os.path.exists(name + ".pub"):
            run("openssl", "genrsa", "-out", name + ".pem", str(bits))
            run("openssl", "rsa", "-in", name + ".pem", "-pubout", "-out", name + ".pub")
    generator = random.Random(22)
    for name, size in (("LumvexSetup.msi", 600000), ("Other.msi", 600000)):
        with open(name, "wb") as f:
            f.write(MSI_HEAD + generator.randbytes(size - len(MSI_HEAD)))
    with open("Other.sha256", "w") as f:
        f.write(hashlib.sha256(open("Other.msi", "rb").read()).hexdigest())
    sign = os.path.join(ROOT, "scripts", "sign-package.sh")
    for output, key, package, extra in (("a", "a", "LumvexSetup.msi", []), ("b", "b", "LumvexSetup.msi", []),
                                        ("c", "c", "LumvexSetup.msi", []),
                                        ("other-name", "a", "LumvexSetup.msi", ["--name", "Other.msi"]),
                                        ("old", "a", "LumvexSetup.msi", ["--time", "1000000000"]),
                                        ("changed", "a", "Other.msi", ["--name", "LumvexSetup.msi"])):
        time = [] if "--time" in extra else ["--time", "1800000000"]
        run(sign, "--key", key + ".pem", *time, *extra, package)
        shutil.move(package + ".sig", output + ".sig")
    for name, keys in (("TestTrustA", "a.pub"), ("TestTrustAB", "a.pub;b.pub")):
        run(cmake, "-DOUTPUT=" + name + ".cpp", "-DNAME=" + name, "-DNOT_BEFORE=0", "-DKEYS=" + keys,
            "-P", os.path.join(ROOT, "cmake", "PackageTrust.cmake"))


if __name__ == "__main__":
    main()
