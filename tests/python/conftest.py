# Developers may point PYTHONPATH at a CMake build directory; otherwise the installed package is used.
import morvelan_hdc  # noqa: F401
