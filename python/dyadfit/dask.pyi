# SPDX-License-Identifier: BSD-3-Clause
from typing import Any, Optional

import dask.array as da

def default_margin(block_side: int) -> int: ...
def global_options(a: da.Array, options: dict[str, Any], sample_tiles: int = ...) -> dict[str, Any]: ...
def denoise(
    array: Any,
    *,
    channel_axis: Optional[int] = ...,
    margin: Optional[int] = ...,
    tile: Optional[int] = ...,
    sample_tiles: int = ...,
    threads: Optional[int] = ...,
    method: Optional[str] = ...,
    noise: Optional[str] = ...,
    colour: Optional[str] = ...,
    wiener: Optional[str] = ...,
    shifts: Optional[int] = ...,
    sigma: Any = ...,
    gain: Optional[float] = ...,
    offset: Optional[float] = ...,
    read_noise: Optional[float] = ...,
    block_side: Optional[int] = ...,
    penalties: Any = ...,
    lines: Optional[float] = ...,
) -> da.Array: ...
