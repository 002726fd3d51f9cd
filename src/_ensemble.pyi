"""Random measurement errors and ensemble statistics"""

import typing

import numpy
import numpy.typing

_F64 = typing.Annotated[numpy.typing.ArrayLike, numpy.float64]
_F32 = typing.Annotated[numpy.typing.ArrayLike, numpy.float32]
_Int = typing.SupportsInt | typing.SupportsIndex
_Out = numpy.typing.NDArray[numpy.float64]

def perturb(
    dbz: _F64,
    zdr: _F64,
    phidp: _F64,
    rhohv: _F64,
    vel: _F64,
    flags: _Int,
    fac: _F64,
    bias_dbz: _F64,
    bias_zdr: _F64,
    k0: _Int,
    k1: _Int,
    m0: _Int,
    n_threads: _Int = 0,
) -> _Out: ...
def statistics(
    values: _F32, percentiles: _F64, min_valid: _Int, n_threads: _Int = 0
) -> tuple[_Out, _Out, _Out]: ...
def mode(
    values: _F32, n_codes: _Int, min_valid: _Int, n_threads: _Int = 0
) -> tuple[_Out, _Out]: ...
def words(
    k0: _Int, k1: _Int, member: _Int, block: _Int, n: _Int
) -> numpy.typing.NDArray[numpy.uint64]: ...
