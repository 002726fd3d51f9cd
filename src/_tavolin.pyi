"""Threaded text formatter of the WRFDA and DART observation writers"""

import typing

import numpy
import numpy.typing

_F64 = typing.Annotated[numpy.typing.ArrayLike, numpy.float64]
_I64 = typing.Annotated[numpy.typing.ArrayLike, numpy.int64]
_Int = typing.SupportsInt | typing.SupportsIndex

def format_dart(
    kind: _I64,
    value: _F64,
    variance: _F64,
    lon: _F64,
    lat: _F64,
    height: _F64,
    days: _I64,
    secs: _I64,
    radar_lon: _F64,
    radar_lat: _F64,
    radar_height: _F64,
    beam: _F64,
    nyquist: _F64,
    velkey: _I64,
    vertical: _Int,
    n_threads: _Int = 0,
) -> bytes: ...
def format_wrfda(
    centres: _F64,
    col_lat: _F64,
    col_lon: _F64,
    col_elv: _F64,
    rv: _F64,
    rv_qc: _I64,
    rv_err: _F64,
    rf: _F64,
    rf_qc: _I64,
    rf_err: _F64,
    stamp: str | bytes | bytearray,
    n_threads: _Int = 0,
) -> bytes: ...
