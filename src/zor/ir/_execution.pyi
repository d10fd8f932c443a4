from typing import Optional, Sequence, Tuple

import numpy as np

def convolve(x: np.ndarray, weight: np.ndarray, bias: np.ndarray, out: np.ndarray,
             stride: Tuple[int, int], padding: Tuple[int, int], dilation: Tuple[int, int],
             groups: int, skip_zeros: bool, threads: int) -> None: ...
def dense(x: np.ndarray, weight_t: np.ndarray, bias: np.ndarray, out: np.ndarray,
          skip_zeros: bool, threads: int) -> None: ...
def pool(x: np.ndarray, out: np.ndarray, kernel: Tuple[int, int], stride: Tuple[int, int],
         padding: Tuple[int, int], dilation: Tuple[int, int], maximum: bool,
         threads: int) -> None: ...
def advance(target: np.ndarray, keep: np.ndarray,
            terms: Sequence[Tuple[np.ndarray, np.ndarray]], rest: Optional[np.ndarray],
            firing: Optional[Tuple[np.ndarray, np.ndarray, bool, np.ndarray]],
            threads: int) -> None: ...
