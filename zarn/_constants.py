"""Numbers that several modules share, each named once with the reason for its value.

Where a number is also a default of the native core, the core's value is the reference:
``tests/test_surface.py`` checks that the values here equal the defaults the core's
signatures declare, so the Python layer and the binding cannot drift apart.
"""

from __future__ import annotations

# The MDL score's hit tolerance is this many median absolute deviations of y (this many
# units when the MAD is 0): the core's choice, which every Python copy of the score and of
# the hit rate must reproduce to give the same counts.
MAD_TOLERANCE = 0.4

# Magnitudes in this open range (and 0) are "ordinary": their squares and sums of a few
# million of them stay within doubles without overflow or underflow. Values outside it
# are scaled by a power of two (exactly) before any sum of squares.
ORDINARY = (1e-100, 1e100)

# Default grids of the penalty integrals, the core's: points over the interval in one
# variable (fine, since one variable is cheap), points per dimension in several (the
# tensor grid has N**d points).
GRID_1D = 600
GRID_PER_DIM = 30

# Complexity parameter of the MDL score's model cost k**2 ln(2H) / n: the core's default.
H = 20
# Ridge added to the diagonal of the normal equations: the core's default, far below any
# penalty that matters and enough to keep an underdetermined system solvable.
RIDGE = 1e-10

# The robust method's sampler, zarn.TournamentMCMC: the core's defaults, a balance of
# time (n_chains * n_warmup + n_elite * n_deep energy evaluations) and reliability.
N_CHAINS = 25
N_WARMUP = 200
N_DEEP = 2000
N_ELITE = 5
STEP_SIZE = 0.05
SEED = 42

# The core takes counts (degrees, grid points, sampler settings, H) as C ints.
C_INT_MAX = 2**31 - 1

# The spacing of doubles at 1. The core's minimum-norm least squares counts as zero the
# singular values below max(1, min(rows, columns)) * EPS times the largest (and below the
# smallest normal double); the rank rule of the Python layer follows it, and the
# iterations of the quantiles stop at this relative change.
EPS = 2.0**-52
