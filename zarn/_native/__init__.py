"""Native core of zarn, compiled from the C++ sources beside this file."""

import os

# The core's parallel loops run on LLVM's OpenMP runtime, which starts a fresh thread team in
# a child process forked after a fit only while KMP_INIT_AT_FORK is not FALSE. scikit-learn
# sets it to FALSE when imported (a workaround for an old Intel runtime), after which such a
# child hangs on its first fit. The runtime reads the variable at its first parallel loop,
# which comes after this import.
if os.environ.get("KMP_INIT_AT_FORK", "").strip().upper() == "FALSE":
    os.environ["KMP_INIT_AT_FORK"] = "TRUE"
