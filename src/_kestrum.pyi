"""Cold-pool, wind-profile and baroclinity kernel (multithreaded)."""

import typing

import numpy
import numpy.typing

_F64 = typing.Annotated[numpy.typing.ArrayLike, numpy.float64]
_Int = typing.SupportsInt | typing.SupportsIndex
_Float = typing.SupportsFloat | typing.SupportsIndex

def thermo(
    t: _F64, p: _F64, td: _F64, n_threads: _Int = 0
) -> numpy.typing.NDArray[numpy.float64]: ...
def cold_pool(
    z: _F64, b: _F64, bottom: _F64, threshold: _Float, top: _F64, n_threads: _Int = 0
) -> numpy.typing.NDArray[numpy.float64]: ...
def profile(
    z: _F64,
    u: _F64,
    v: _F64,
    ground: _F64,
    bottom: _Float,
    top: _Float,
    cu: _F64,
    cv: _F64,
    n_threads: _Int = 0,
) -> numpy.typing.NDArray[numpy.float64]: ...
def profile_checked(
    z: _F64,
    u: _F64,
    v: _F64,
    ground: _F64,
    bottom: _Float,
    top: _Float,
    cu: _F64,
    cv: _F64,
    n_threads: _Int = 0,
) -> tuple[numpy.typing.NDArray[numpy.float64], int]: ...
def gradient(
    f: _F64, x: _F64, y: _F64, n_threads: _Int = 0
) -> numpy.typing.NDArray[numpy.float64]: ...
def vad(
    vr: _F64, az: _F64, cos_el: _F64, min_gates: _Int, min_spread: _Float, n_threads: _Int = 0
) -> numpy.typing.NDArray[numpy.float64]: ...
def vad_sweeps(
    vr: _F64, az: _F64, cos_el: _F64, min_gates: _Int, min_spread: _Float, n_threads: _Int = 0
) -> numpy.typing.NDArray[numpy.float64]: ...
