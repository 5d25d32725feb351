"""zarn: fit and compare polynomial models on a fast C++/Eigen core."""

from zarn._native import zarn_core

__all__ = ["zarn_core"]
