# SPDX-License-Identifier: BSD-3-Clause
from typing import Any, Literal, Optional, Sequence, Tuple, Union, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

class CoreError(ValueError): ...

_Floats = Union[float, Sequence[float], NDArray[Any]]

@overload
def denoise(
    image: ArrayLike,
    *,
    method: Optional[Literal["constant", "wedgelet", "platelet"]] = ...,
    noise: Optional[Literal["gaussian", "poisson", "poisson-gaussian"]] = ...,
    colour: Optional[Literal["opponent", "rgb"]] = ...,
    wiener: Optional[Literal["auto", "on", "off"]] = ...,
    shifts: Optional[int] = ...,
    sigma: Optional[_Floats] = ...,
    gain: Optional[float] = ...,
    offset: Optional[float] = ...,
    read_noise: Optional[float] = ...,
    block_side: Optional[int] = ...,
    penalties: Optional[_Floats] = ...,
    lines: Optional[float] = ...,
    progress: Optional[bool] = ...,
    partition: Optional[bool] = ...,
    channel_axis: Optional[int] = ...,
    threads: Optional[int] = ...,
    return_info: Literal[False] = ...,
) -> NDArray[Any]: ...
@overload
def denoise(
    image: ArrayLike,
    *,
    method: Optional[Literal["constant", "wedgelet", "platelet"]] = ...,
    noise: Optional[Literal["gaussian", "poisson", "poisson-gaussian"]] = ...,
    colour: Optional[Literal["opponent", "rgb"]] = ...,
    wiener: Optional[Literal["auto", "on", "off"]] = ...,
    shifts: Optional[int] = ...,
    sigma: Optional[_Floats] = ...,
    gain: Optional[float] = ...,
    offset: Optional[float] = ...,
    read_noise: Optional[float] = ...,
    block_side: Optional[int] = ...,
    penalties: Optional[_Floats] = ...,
    lines: Optional[float] = ...,
    progress: Optional[bool] = ...,
    partition: Optional[bool] = ...,
    channel_axis: Optional[int] = ...,
    threads: Optional[int] = ...,
    return_info: Literal[True],
) -> Tuple[NDArray[Any], dict[str, Any]]: ...
def tessik(
    image: ArrayLike, pen: Optional[float] = ..., sh: Optional[int] = ..., *, threads: Optional[int] = ...
) -> Tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]: ...

_Six = Tuple[
    NDArray[np.float64], NDArray[np.float64], NDArray[np.float64],
    NDArray[np.float64], NDArray[np.float64], NDArray[np.float64],
]

def brindel(
    image: ArrayLike,
    sh: Optional[int] = ...,
    noise_type: Optional[Literal["Gaussian", "Poisson"]] = ...,
    pen_const: Optional[float] = ...,
    pen_wedge: Optional[float] = ...,
    lines: Optional[float] = ...,
    *,
    threads: Optional[int] = ...,
) -> _Six: ...
def quarlo(
    image: ArrayLike,
    sh: Optional[int] = ...,
    noise_type: Optional[Literal["Gaussian", "Poisson"]] = ...,
    pen_plane: Optional[float] = ...,
    pen_platelet: Optional[float] = ...,
    lines: Optional[float] = ...,
    *,
    threads: Optional[int] = ...,
) -> _Six: ...
def show(
    image: ArrayLike,
    squares: ArrayLike,
    layout: Optional[Literal["pixels", "distinct"]] = ...,
    scale: Optional[int] = ...,
    range: Optional[Sequence[float]] = ...,
) -> NDArray[np.float64]: ...
def set_threads(n: int) -> None: ...
def thread_count() -> int: ...
