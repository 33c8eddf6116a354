"""Prints where a package goes under an install prefix, relative to it: the site-packages (or
Debian dist-packages) folder on this interpreter's path that lies under the prefix, else the
standard one for the prefix."""
import os
import sys
import sysconfig

prefix = os.path.normpath(sys.argv[1])
# The nearest one: under /usr, Debian's /usr/lib/python3/dist-packages, not /usr/local's.
under_prefix = sorted(
    (os.path.relpath(folder, prefix) for folder in sys.path
     if os.path.basename(folder) in ("site-packages", "dist-packages")
     and os.path.commonpath([folder, prefix]) == prefix),
    key=lambda relative: relative.count(os.sep))
if under_prefix:
    print(under_prefix[0])
else:
    standard = sysconfig.get_path("platlib", "posix_prefix", vars={"base": prefix, "platbase": prefix})
    print(os.path.relpath(standard, prefix))
